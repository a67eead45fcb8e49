// Where SetSocket connects: a host (name or numeric address, at most 255
// characters) and a TCP port.
#pragma once

#include "kavra_msvc/Export.h"

class KAVRA_MSVC_API CServerStatus {
public:
    CServerStatus(const char* host, unsigned short port);

    /// Null when the host given was null or longer than 255 characters.
    const char* GetHost() const;
    unsigned short GetPort() const;

private:
    char m_host[256];
    unsigned short m_port;
    int m_valid;
};
