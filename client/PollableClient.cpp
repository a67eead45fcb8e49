#include "kavra/PollableClient.h"

namespace kavra {

PollableClient::PollableClient() : m_receiveHandle(OpenReceiveHandle()) {
    SetReceiveOverflow(ReceiveOverflow::Block);
}

PollableClient::~PollableClient() {
    // The worker calls this class's handler: it must be gone first.
    Destroy();
}

void PollableClient::OnReceiveQueuePush() {}

} // namespace kavra
