#pragma once

#include "kavra/Export.h"
#include "kavra/base/CIPByteData.h"

#include <cstdint>
#include <memory>
#include <vector>

class CPDUHeader;
class CTLV;

/// Base of serialisable PDUs: a header object, validity flags, and an optional
/// part made of tag-length-value items.
///
/// The header object is created by derived classes (checkHeader) and deleted
/// by this class's destructor. Registered optional items belong to the derived
/// class; extra optional items belong to this object.
class KAVRA_API CPDU : public CIPByteData {
public:
    /// @name Validity flags (getValidFlags)
    ///@{
    static const unsigned char VALID_HEADER; ///< The header was parsed (0x01).
    static const unsigned char VALID_BODY;   ///< The body was parsed (0x02).
    static const unsigned char VALID_ALL;    ///< Both (0x03).
    ///@}

    CPDU();
    CPDU& operator=(const CPDU&) = delete;
    ~CPDU() override;

    /// Default wire form: the header, then the body.
    int setData(CIPByteBuffer& in) override;
    int getData(CIPByteBuffer& out) override;

    /// Creates the header object if there is none; the base has no header type
    /// of its own and does nothing.
    virtual void checkHeader();
    /// Default body: the optional part.
    virtual int setBody(CIPByteBuffer& in);
    /// Default body: the optional part.
    virtual int getBody(CIPByteBuffer& out);
    /// Returns 0 here.
    virtual int isRequest();
    /// Returns 0 here.
    virtual int canResponse();
    /// Returns 0 here.
    virtual int isResponse();
    /// Parses the header through checkHeader()'s object; 0 when there is none.
    virtual int setHeader(CIPByteBuffer& in);
    /// Appends the header object's wire form; 0 when there is none.
    virtual int getHeader(CIPByteBuffer& out);

    /// The validity flags: VALID_HEADER, VALID_BODY, or both.
    std::uint8_t getValidFlags() const { return m_validFlags; }
    /// The header object, or null when there is none yet.
    CPDUHeader* getHeaderObject() const { return m_header; }

protected:
    /// Copies the flags and the extra optional items; the header object and
    /// the registered items stay with the source (derived classes copy what
    /// they created).
    CPDU(const CPDU& other);

    /// Reads items off in until it is empty: a registered item takes its own
    /// tag, any other tag becomes an extra item. 0 on a torn item.
    virtual int setOptionalBody(CIPByteBuffer& in);
    /// Appends every registered item that holds a value, then every extra item.
    virtual int getOptionalBody(CIPByteBuffer& out);
    /// Adds an item that the derived class owns.
    virtual void registerOptional(CTLV* item);
    /// Adds an item that this object owns from now on.
    virtual void registerExtraOptional(CTLV* item);
    /// The registered item with tag, else the extra item with tag, else null.
    virtual CTLV* findOptional(short tag);
    /// Takes ownership of item and puts it in place of the extra item with the
    /// same tag, or adds it when there is none.
    virtual void replaceExtraOptional(CTLV* item);
    /// Makes an extra item of tag from all of value (which is emptied).
    virtual void setExtraOptional(short tag, CIPByteBuffer& value);
    /// Same as replaceExtraOptional: takes ownership of item.
    virtual void setExtraOptional(CTLV* item);
    /// The extra item with tag, or null.
    virtual CTLV* getExtraOptional(short tag);

    std::int32_t m_pduType = 0;     ///< A type code for derived classes; copied with the PDU.
    std::uint8_t m_validFlags = 0;  ///< Behind getValidFlags.
    CPDUHeader* m_header = nullptr; ///< Owned; deleted by the destructor.

private:
    std::vector<CTLV*> m_optionals;
    std::vector<std::unique_ptr<CTLV>> m_extraOptionals;
};
