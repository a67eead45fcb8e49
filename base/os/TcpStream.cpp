#include "base/os/TcpStream.h"

namespace kavra {

long TcpStream::SendSome(const void* src, std::size_t n, int& error) {
    return os::SendSome(m_handle, src, n, error);
}

long TcpStream::RecvSome(void* dst, std::size_t n, int& error) {
    return os::RecvSome(m_handle, dst, n, error);
}

os::PeekResult TcpStream::PeekForClose(int& error) {
    return os::PeekForClose(m_handle, error);
}

} // namespace kavra
