// The PDU base: validity flags and the owned header object. The slots on
// tag-length-value items (CTLV) are kept for derived classes; this library
// records no such items, and their defaults do nothing.
#pragma once

#include "kavra_msvc/CIPByteData.h"
#include "kavra_msvc/Export.h"

class CPDUHeader;
class CTLV;

class KAVRA_MSVC_API CPDU : public CIPByteData {
public:
    static const unsigned char VALID_HEADER;
    static const unsigned char VALID_BODY;
    static const unsigned char VALID_ALL;

    /// No header object, flags 0.
    CPDU();
    /// Deletes the header object.
    ~CPDU() override;

    int setData(CIPByteBuffer& in) override;
    int getData(CIPByteBuffer& out) override;
    virtual void checkHeader();
    virtual int setBody(CIPByteBuffer& in);
    virtual int getBody(CIPByteBuffer& out);
    virtual int isRequest();
    virtual int canResponse();
    virtual int isResponse();
    virtual int setHeader(CIPByteBuffer& in);
    /// Appends the header object's wire form (nothing without one); 1.
    virtual int getHeader(CIPByteBuffer& out);

protected:
    /// Copies the flags; the header object is left to the derived class.
    CPDU(const CPDU& other);
    CPDU& operator=(const CPDU& other);

    virtual int setOptionalBody(CIPByteBuffer& in);
    virtual int getOptionalBody(CIPByteBuffer& out);
    virtual void registerOptional(CTLV* item);
    virtual void registerExtraOptional(CTLV* item);
    virtual CTLV* findOptional(short tag);
    virtual void replaceExtraOptional(CTLV* item);
    // The Visual C++ ABI puts overloads next to each other in reverse order
    // of declaration: this order gives (short, CIPByteBuffer&) the lower slot.
    virtual void setExtraOptional(CTLV* item);
    virtual void setExtraOptional(short tag, CIPByteBuffer& value);
    virtual CTLV* getExtraOptional(short tag);

    int m_pduType;
    unsigned char m_validFlags;
    CPDUHeader* m_header;
};
