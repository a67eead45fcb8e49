#include "kavra/base/CPDU.h"

#include "kavra/base/CIPByteBuffer.h"
#include "kavra/base/CPDUHeader.h"
#include "kavra/base/CTLV.h"

#include <algorithm>
#include <utility>

const unsigned char CPDU::VALID_HEADER = 0x01;
const unsigned char CPDU::VALID_BODY = 0x02;
const unsigned char CPDU::VALID_ALL = 0x03;

CPDU::CPDU() = default;

CPDU::CPDU(const CPDU& other)
    : CIPByteData(other), m_pduType(other.m_pduType), m_validFlags(other.m_validFlags) {
    m_extraOptionals.reserve(other.m_extraOptionals.size());
    for (const auto& item : other.m_extraOptionals) {
        m_extraOptionals.push_back(std::make_unique<CTLV>(*item));
    }
}

CPDU::~CPDU() {
    delete m_header;
}

int CPDU::setData(CIPByteBuffer& in) {
    m_validFlags = 0;
    checkHeader();
    // A PDU type without a header object has nothing to parse in front of the
    // body, so its header part counts as valid.
    if (m_header != nullptr && setHeader(in) == 0) {
        return 0;
    }
    m_validFlags = VALID_HEADER;
    if (setBody(in) == 0) {
        return 0;
    }
    m_validFlags |= VALID_BODY;
    return 1;
}

int CPDU::getData(CIPByteBuffer& out) {
    checkHeader();
    if (m_header != nullptr) {
        getHeader(out);
    }
    return getBody(out);
}

void CPDU::checkHeader() {}

int CPDU::setBody(CIPByteBuffer& in) {
    return setOptionalBody(in);
}

int CPDU::getBody(CIPByteBuffer& out) {
    return getOptionalBody(out);
}

int CPDU::isRequest() {
    return 0;
}

int CPDU::canResponse() {
    return 0;
}

int CPDU::isResponse() {
    return 0;
}

int CPDU::setHeader(CIPByteBuffer& in) {
    checkHeader();
    if (m_header == nullptr) {
        return 0;
    }
    return m_header->setData(in);
}

int CPDU::getHeader(CIPByteBuffer& out) {
    if (m_header == nullptr) {
        return 0;
    }
    return m_header->getData(out);
}

int CPDU::setOptionalBody(CIPByteBuffer& in) {
    while (in.getLength() > 0) {
        CTLV parsed;
        if (parsed.setData(in) == 0) {
            return 0;
        }
        const short tag = parsed.getTag();
        const auto registered = std::find_if(m_optionals.begin(), m_optionals.end(),
                                             [tag](CTLV* item) { return item->getTag() == tag; });
        if (registered != m_optionals.end()) {
            (*registered)->setValue(parsed.getValue(), parsed.getValueLength());
        } else {
            replaceExtraOptional(std::make_unique<CTLV>(parsed).release());
        }
    }
    return 1;
}

int CPDU::getOptionalBody(CIPByteBuffer& out) {
    for (CTLV* item : m_optionals) {
        if (item->hasValue()) {
            item->getData(out);
        }
    }
    for (const auto& item : m_extraOptionals) {
        item->getData(out);
    }
    return 1;
}

void CPDU::registerOptional(CTLV* item) {
    if (item != nullptr) {
        m_optionals.push_back(item);
    }
}

void CPDU::registerExtraOptional(CTLV* item) {
    if (item != nullptr) {
        m_extraOptionals.emplace_back(item);
    }
}

CTLV* CPDU::findOptional(short tag) {
    for (CTLV* item : m_optionals) {
        if (item->getTag() == tag) {
            return item;
        }
    }
    return getExtraOptional(tag);
}

void CPDU::replaceExtraOptional(CTLV* item) {
    if (item == nullptr) {
        return;
    }
    for (const auto& slot : m_extraOptionals) {
        if (slot.get() == item) {
            return;
        }
    }
    std::unique_ptr<CTLV> owned(item);
    for (auto& slot : m_extraOptionals) {
        if (slot->getTag() == owned->getTag()) {
            slot = std::move(owned);
            return;
        }
    }
    m_extraOptionals.push_back(std::move(owned));
}

void CPDU::setExtraOptional(short tag, CIPByteBuffer& value) {
    auto item = std::make_unique<CTLV>(tag);
    const int length = static_cast<int>(value.getLength());
    item->setValue(value.getBuffer(), length);
    value.removeBytes0(length);
    replaceExtraOptional(item.release());
}

void CPDU::setExtraOptional(CTLV* item) {
    replaceExtraOptional(item);
}

CTLV* CPDU::getExtraOptional(short tag) {
    for (const auto& item : m_extraOptionals) {
        if (item->getTag() == tag) {
            return item.get();
        }
    }
    return nullptr;
}
