#pragma once

#include "kavra/Export.h"
#include "kavra/base/CIPByteData.h"

#include <vector>

/// One tag-length-value item of a PDU's optional part.
///
/// Wire form: 2-byte tag, 2-byte value length (both big-endian), the value.
class KAVRA_API CTLV : public CIPByteData {
public:
    /// An item of tag without a value.
    explicit CTLV(short tag = 0);
    /// An item of tag with length bytes of value (see setValue).
    CTLV(short tag, const void* value, int length);
    ~CTLV() override;

    /// Takes one item off the front of in. Returns 0, consuming nothing, when
    /// in holds less than a whole item.
    int setData(CIPByteBuffer& in) override;
    int getData(CIPByteBuffer& out) override;

    /// The item's tag.
    short getTag() const;
    /// Values longer than 65535 bytes are cut to 65535 so that the length
    /// field can hold them.
    void setValue(const void* value, int length);
    /// The value's bytes; getValueLength() of them.
    const unsigned char* getValue() const;
    /// The value's length in bytes.
    int getValueLength() const;
    /// True once a value was set or parsed.
    bool hasValue() const;

private:
    short m_tag;
    bool m_present = false;
    std::vector<unsigned char> m_value;
};
