// Base of serialisable PDUs: a header object, validity flags, and an optional
// part made of tag-length-value items.
//
// The header object is created by derived classes (checkHeader) and deleted
// by this class's destructor. Registered optional items belong to the derived
// class; extra optional items belong to this object.
#pragma once

#include "kavra/Export.h"
#include "kavra/base/CIPByteData.h"

#include <cstdint>
#include <memory>
#include <vector>

class CPDUHeader;
class CTLV;

class KAVRA_API CPDU : public CIPByteData {
public:
    static const unsigned char VALID_HEADER;
    static const unsigned char VALID_BODY;
    static const unsigned char VALID_ALL;

    CPDU();
    CPDU& operator=(const CPDU&) = delete;
    ~CPDU() override;

    // Default wire form: the header, then the body.
    int setData(CIPByteBuffer& in) override;
    int getData(CIPByteBuffer& out) override;

    // Creates the header object if there is none; the base has no header type
    // of its own and does nothing.
    virtual void checkHeader();
    // Default body: the optional part.
    virtual int setBody(CIPByteBuffer& in);
    virtual int getBody(CIPByteBuffer& out);
    virtual int isRequest();
    virtual int canResponse();
    virtual int isResponse();
    // Parses the header through checkHeader()'s object; 0 when there is none.
    virtual int setHeader(CIPByteBuffer& in);
    // Appends the header object's wire form; 0 when there is none.
    virtual int getHeader(CIPByteBuffer& out);

    std::uint8_t getValidFlags() const { return m_validFlags; }
    CPDUHeader* getHeaderObject() const { return m_header; }

protected:
    // Copies the flags and the extra optional items; the header object and
    // the registered items stay with the source (derived classes copy what
    // they created).
    CPDU(const CPDU& other);

    // Reads items off in until it is empty: a registered item takes its own
    // tag, any other tag becomes an extra item. 0 on a torn item.
    virtual int setOptionalBody(CIPByteBuffer& in);
    // Appends every registered item that holds a value, then every extra item.
    virtual int getOptionalBody(CIPByteBuffer& out);
    // Adds an item that the derived class owns.
    virtual void registerOptional(CTLV* item);
    // Adds an item that this object owns from now on.
    virtual void registerExtraOptional(CTLV* item);
    virtual CTLV* findOptional(short tag);
    // Takes ownership of item and puts it in place of the extra item with the
    // same tag, or adds it when there is none.
    virtual void replaceExtraOptional(CTLV* item);
    // Makes an extra item of tag from all of value (which is emptied).
    virtual void setExtraOptional(short tag, CIPByteBuffer& value);
    // Same as replaceExtraOptional: takes ownership of item.
    virtual void setExtraOptional(CTLV* item);
    virtual CTLV* getExtraOptional(short tag);

    std::int32_t m_pduType = 0;
    std::uint8_t m_validFlags = 0;
    CPDUHeader* m_header = nullptr;

private:
    std::vector<CTLV*> m_optionals;
    std::vector<std::unique_ptr<CTLV>> m_extraOptionals;
};
