#pragma once
// The expanded call context of one call or task: its named variables as two lists (scalars,
// arrays) and as BINDATA, the compact byte form that peripheral-controller messages carry.
// Conversion between the two is lazy. Results are the shared ECC result codes: 0, or -1 to -12.
//
// BINDATA, with nothing between records and at most 2000 bytes in all:
//   scalar: id (i32, little-endian, > 0), value, NUL
//   array:  -id (i32, little-endian, <= 0), element count (u8), then each element and a NUL
// A scalar id 0x7FFFFFFF and an array word 0x80000000 are markers that readers skip.
#include <cstdint>
#include <string>
#include <vector>

#include "ctimsg/eccdefs.h"
#include "ctimsg/eccelement.h"

constexpr int ECC_BINDATA_SIZE_INVALID = -1;
constexpr int ECC_BINDATA_TOO_LARGE = -4;
constexpr int ECC_BINDATA_MALFORMED = -5;
constexpr int ECC_VALUE_TOO_LONG = -6;
constexpr int ECC_SCALAR_OP_ON_ARRAY = -8;
constexpr int ECC_ARRAY_OP_ON_SCALAR = -9;
constexpr int ECC_INDEX_TOO_LARGE = -10;
constexpr int ECC_INDEX_NEGATIVE = -11;
constexpr int ECC_BINDATA_TRUNCATED = -12;

constexpr int32_t MAX_BINDATA_SIZE = 2000;
constexpr int32_t MAX_ECC_VALUE_LENGTH = 210;
constexpr int32_t MAX_ECC_ARRAY_INDEX = 255;

struct ScalarListEntryStruct {
    int32_t ExpandedCallVariableID = 0;
    std::string value;
};

// Entry i of values is array index i; indices never set below the highest are empty.
struct ArrayListEntryStruct {
    int32_t ExpandedCallVariableID = 0;
    std::vector<std::string> values;
};

using ScalarList = std::vector<ScalarListEntryStruct>;
using ArrayList = std::vector<ArrayListEntryStruct>;

class TraceBase {};

// The BINDATA reader, writer and validator, with the fixed limits of every variable.
class ParseBindataBase : public TraceBase {
public:
    virtual ~ParseBindataBase() = default;

    virtual int CheckScalar(int32_t id);
    virtual int CheckArrayIndex(int32_t id, int32_t index);
    virtual int CheckValueLength(int32_t id, const std::string& value);

    // Writes scalars, then arrays, into buffer (room MAX_BINDATA_SIZE). On -12 the bytes that
    // fit stay and are well formed.
    int BuildBindata(const ScalarList& scalars, const ArrayList& arrays, uint8_t* buffer,
                     int32_t& size);
    // Fills both lists; records that fail the checks are left out one by one.
    int ParseBindata(const uint8_t* data, int32_t size, ScalarList& scalars, ArrayList& arrays);
    // Format only: 0, -4 or -5.
    static int ValidateBindata(int32_t size, const uint8_t* data);
    static void DumpBindata(const uint8_t* data, int32_t size);
    int CheckScalarEntry(int32_t id, const std::string& value);
    int CheckArrayEntry(int32_t id, const std::vector<std::string>& values);
};

class ExpandedCallContextBase : public ParseBindataBase {
public:
    ExpandedCallContextBase();
    ~ExpandedCallContextBase() override;
    ExpandedCallContextBase(const ExpandedCallContextBase&) = delete;
    ExpandedCallContextBase& operator=(const ExpandedCallContextBase&) = delete;

    int CheckScalar(int32_t id) override;
    int CheckArrayIndex(int32_t id, int32_t index) override;
    int CheckValueLength(int32_t id, const std::string& value) override;
    virtual int FindDefinitionByName(const std::string& name, ECCExpandedCallVariable& out) = 0;
    virtual int FindDefinitionByID(int32_t id, ECCExpandedCallVariable& out) = 0;

    int SetECCBindata(int32_t size, const uint8_t* data);
    // data points into the context and stays valid until the context changes.
    int GetECCBindata(int32_t& size, const uint8_t*& data);
    int SetScalarValue(const std::string& name, const std::string& value);
    int SetArrayValue(const std::string& name, int32_t index, const std::string& value);
    int GetListByName(std::vector<NameValueStruct>& list);
    int FormatByName(std::string& text);
    int TraceByName();

    int SetScalarValueByID(int32_t id, const std::string& value);
    int SetArrayValueByID(int32_t id, int32_t index, const std::string& value);
    int FormatByNameWithPrefix(const char* prefix, std::string& text);
    int GetVariableID(const std::string& name, int32_t& id);
    int GetVariableName(int32_t id, std::string& name);
    int ParseIfNeeded();
    int FindScalarEntry(int32_t id, ScalarListEntryStruct*& entry);
    int FindArrayEntry(int32_t id, ArrayListEntryStruct*& entry);

private:
    ScalarList m_Scalars;
    ArrayList m_Arrays;
    int32_t m_BindataSize = 0;
    uint8_t* m_Bindata;
    int32_t m_ListsCurrent = 1;
};

// The context users construct: definitions come from the process-wide registry.
class ExpandedCallContext : public ExpandedCallContextBase {
public:
    int FindDefinitionByName(const std::string& name, ECCExpandedCallVariable& out) override;
    int FindDefinitionByID(int32_t id, ECCExpandedCallVariable& out) override;
};
