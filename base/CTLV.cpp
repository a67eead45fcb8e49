#include "kavra/base/CTLV.h"

#include "kavra/base/CIPByteBuffer.h"

#include <cstdint>

namespace {

// Tag and value length, two bytes each.
constexpr unsigned int kItemHeaderLength = 4;
constexpr int kMaxValueLength = 0xFFFF;

} // namespace

CTLV::CTLV(short tag) : m_tag(tag) {}

CTLV::CTLV(short tag, const void* value, int length) : m_tag(tag) {
    setValue(value, length);
}

CTLV::~CTLV() = default;

int CTLV::setData(CIPByteBuffer& in) {
    if (in.getLength() < kItemHeaderLength) {
        return 0;
    }
    // Look at the length before consuming anything, so that a torn item stays
    // in the buffer for a later, longer read.
    const unsigned char* p = in.getBuffer();
    const auto length = static_cast<unsigned int>((p[2] << 8) | p[3]);
    if (in.getLength() - kItemHeaderLength < length) {
        return 0;
    }
    m_tag = in.removeShort();
    in.removeShort();
    m_value.resize(length);
    in.removeString(m_value.data(), static_cast<int>(length));
    m_present = true;
    return 1;
}

int CTLV::getData(CIPByteBuffer& out) {
    out.appendShort(m_tag);
    out.appendShort(static_cast<short>(static_cast<std::uint16_t>(m_value.size())));
    out.appendBytes(m_value.data(), static_cast<int>(m_value.size()));
    return 1;
}

short CTLV::getTag() const {
    return m_tag;
}

void CTLV::setValue(const void* value, int length) {
    int kept = length < 0 ? 0 : length;
    if (kept > kMaxValueLength) {
        kept = kMaxValueLength;
    }
    const auto* bytes = static_cast<const unsigned char*>(value);
    if (bytes != nullptr) {
        m_value.assign(bytes, bytes + kept);
    } else {
        m_value.assign(static_cast<std::size_t>(kept), 0);
    }
    m_present = true;
}

const unsigned char* CTLV::getValue() const {
    return m_value.data();
}

int CTLV::getValueLength() const {
    return static_cast<int>(m_value.size());
}

bool CTLV::hasValue() const {
    return m_present;
}
