/* A C event loop over the C interface: poll() waits on the client's receive
 * handle (WaitForSingleObject on Windows) instead of a thread blocked in
 * kavra_client_receive. Against `kavra serve` (echo mode):
 *   poll_loop [COUNT] HOST PORT
 * sends COUNT messages (default 1000) with kavra_client_send_wait, takes
 * the echoes as the handle reports them, and exits 0 once all came back in
 * order; 1 when one is missing or wrong after 10 s. */
#include <kavra/kavra.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <poll.h>
#endif

/* 1 when the handle is readable within timeout_ms, else 0. */
static int wait_readable(intptr_t handle, int timeout_ms) {
#if defined(_WIN32)
    return WaitForSingleObject((HANDLE)handle, (DWORD)timeout_ms) == WAIT_OBJECT_0;
#else
    struct pollfd entry;
    entry.fd = (int)handle;
    entry.events = POLLIN;
    entry.revents = 0;
    return poll(&entry, 1, timeout_ms) > 0 && (entry.revents & POLLIN) != 0;
#endif
}

int main(int argc, char** argv) {
    static char body[KAVRA_MAX_PDU_LENGTH];
    kavra_options options;
    kavra_client* client = NULL;
    int count, sent = 0, received = 0, idle_ms = 0, code;

    if (argc < 3) {
        fprintf(stderr, "usage: %s [COUNT] HOST PORT\n", argv[0]);
        return 2;
    }
    count = argc > 3 ? atoi(argv[1]) : 1000;
    kavra_options_init(&options);
    options.send_queue_limit = 64; /* kavra_client_send_wait waits beyond it */
    code = kavra_client_create(argv[argc - 2], (uint16_t)atoi(argv[argc - 1]), &options, &client);
    if (code == KAVRA_OK) {
        code = kavra_client_start(client);
    }
    if (code != KAVRA_OK) {
        fprintf(stderr, "poll_loop: %s\n", kavra_strerror(code));
        kavra_client_destroy(client);
        return 1;
    }

    /* One thread: send while there is room, take what the handle reports. */
    while (received < count && idle_ms < 10000) {
        uint32_t size = 0;
        while (sent < count) {
            int length = snprintf(body, sizeof body, "message %d", sent);
            if (kavra_client_send_wait(client, body, (uint32_t)length, 0) != KAVRA_OK) {
                break; /* full: the loop comes back once echoes were taken */
            }
            ++sent;
        }
        if (!wait_readable(kavra_client_receive_handle(client), 100)) {
            idle_ms += 100;
            continue;
        }
        idle_ms = 0;
        /* Readable: a PDU waits (only this thread takes them). */
        if (kavra_client_receive(client, body, sizeof body - 1, &size, 0) == KAVRA_OK) {
            char expected[32];
            body[size] = '\0';
            snprintf(expected, sizeof expected, "message %d", received);
            if (strcmp(body, expected) != 0) {
                fprintf(stderr, "poll_loop: got '%s', expected '%s'\n", body, expected);
                break;
            }
            ++received;
        }
    }
    kavra_client_destroy(client);
    if (received != count) {
        fprintf(stderr, "poll_loop: %d of %d came back\n", received, count);
        return 1;
    }
    printf("poll_loop: %d messages came back in order\n", count);
    return 0;
}
