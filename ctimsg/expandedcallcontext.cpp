#include "ctimsg/expandedcallcontext.h"
#include "platform/byteorder.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kScalarMarker = 0x7FFFFFFFu;
constexpr uint32_t kArrayMarker = 0x80000000u;
// The count byte of an array record holds at most this many elements.
constexpr size_t kMaxArrayElements = 255;

// Values are texts: whatever follows an embedded NUL is not part of them.
int32_t TextLength(const std::string& value) {
    return static_cast<int32_t>(std::strlen(value.c_str()));
}

// The end of the NUL-terminated text that starts at p, or -1 when no NUL comes before end.
int32_t FindNul(const uint8_t* data, int32_t p, int32_t end) {
    const void* nul = std::memchr(data + p, 0, static_cast<size_t>(end - p));
    return nul == nullptr ? -1 : static_cast<int32_t>(static_cast<const uint8_t*>(nul) - data);
}

}  // namespace

// ---- ParseBindataBase ----

int ParseBindataBase::CheckScalar(int32_t) { return ECC_SUCCESS; }

int ParseBindataBase::CheckArrayIndex(int32_t, int32_t index) {
    if (index < 0) {
        ECCTraceError(
            "The index for an expanded call variable array element is less than 0.  The index = %d.",
            index);
        return ECC_INDEX_NEGATIVE;
    }
    if (index > MAX_ECC_ARRAY_INDEX) {
        ECCTraceError(
            "The index for an expanded call variable array element is greater than the maximum "
            "allowed index.  The index = %d.  The maximum allowed index = %d",
            index, MAX_ECC_ARRAY_INDEX);
        return ECC_INDEX_TOO_LARGE;
    }
    return ECC_SUCCESS;
}

int ParseBindataBase::CheckValueLength(int32_t, const std::string& value) {
    int32_t length = TextLength(value);
    if (length > MAX_ECC_VALUE_LENGTH) {
        ECCTraceError(
            "The length of an expanded call context variable is invalid. The length = %d.  The "
            "maximum allowed length = %d",
            length, MAX_ECC_VALUE_LENGTH);
        return ECC_VALUE_TOO_LONG;
    }
    return ECC_SUCCESS;
}

int ParseBindataBase::CheckScalarEntry(int32_t id, const std::string& value) {
    int rc = CheckScalar(id);
    return rc != ECC_SUCCESS ? rc : CheckValueLength(id, value);
}

int ParseBindataBase::CheckArrayEntry(int32_t id, const std::vector<std::string>& values) {
    int rc = CheckArrayIndex(id, static_cast<int32_t>(values.size()) - 1);
    if (rc != ECC_SUCCESS) return rc;
    for (const std::string& v : values) {
        rc = CheckValueLength(id, v);
        if (rc != ECC_SUCCESS) return rc;
    }
    return ECC_SUCCESS;
}

int ParseBindataBase::BuildBindata(const ScalarList& scalars, const ArrayList& arrays,
                                   uint8_t* buffer, int32_t& size) {
    size = 0;
    int rc = ECC_SUCCESS;
    for (const auto& s : scalars) {
        int32_t length = TextLength(s.value);
        if (length + 5 + size > MAX_BINDATA_SIZE) {
            rc = ECC_BINDATA_TRUNCATED;
            break;
        }
        plat::StoreLE32(buffer + size, static_cast<uint32_t>(s.ExpandedCallVariableID));
        std::memcpy(buffer + size + 4, s.value.c_str(), static_cast<size_t>(length) + 1);
        size += length + 5;
    }
    for (size_t a = 0; rc == ECC_SUCCESS && a < arrays.size(); ++a) {
        const auto& array = arrays[a];
        int32_t first = array.values.empty() ? 0 : TextLength(array.values[0]);
        if (first + 6 + size > MAX_BINDATA_SIZE) {
            rc = ECC_BINDATA_TRUNCATED;
            break;
        }
        plat::StoreLE32(buffer + size, 0u - static_cast<uint32_t>(array.ExpandedCallVariableID));
        uint8_t& count = buffer[size + 4];
        count = 0;
        size += 5;
        for (size_t i = 0; i < array.values.size(); ++i) {
            int32_t length = TextLength(array.values[i]);
            // A 256th element cannot be counted: the array is cut like one that does not fit.
            if (i >= kMaxArrayElements || length + 1 + size > MAX_BINDATA_SIZE) {
                rc = ECC_BINDATA_TRUNCATED;
                break;
            }
            std::memcpy(buffer + size, array.values[i].c_str(), static_cast<size_t>(length) + 1);
            size += length + 1;
            ++count;
        }
    }
    if (rc == ECC_BINDATA_TRUNCATED) {
        ECCTraceSuccess("Expanded Call Context BINDATA truncated because it exceeds %d bytes",
                        MAX_BINDATA_SIZE);
    } else {
        ECCTraceSuccess(
            "Expanded Call Context BINDATA successfully created from lists.  BindataSize = %d, "
            "Scalar variable count = %d, Array variable count = %d",
            size, static_cast<int>(scalars.size()), static_cast<int>(arrays.size()));
    }
    return rc;
}

int ParseBindataBase::ValidateBindata(int32_t size, const uint8_t* data) {
    if (static_cast<uint32_t>(size) > static_cast<uint32_t>(MAX_BINDATA_SIZE)) {
        return ECC_BINDATA_TOO_LARGE;
    }
    if (size == 0) return ECC_SUCCESS;
    if (data == nullptr) return ECC_BINDATA_MALFORMED;
    int32_t p = 0;
    while (p + 4 <= size) {
        int32_t word = static_cast<int32_t>(plat::LoadLE32(data + p));
        if (word > 0) {
            int32_t nul = FindNul(data, p + 4, size);
            if (nul < 0) return ECC_BINDATA_MALFORMED;
            p = nul + 1;
        } else {
            if (p + 5 > size) return ECC_BINDATA_MALFORMED;
            int count = data[p + 4];
            p += 5;
            for (int i = 0; i < count; ++i) {
                if (p >= size) return ECC_BINDATA_MALFORMED;
                int32_t nul = FindNul(data, p, size);
                if (nul < 0) return ECC_BINDATA_MALFORMED;
                p = nul + 1;
            }
        }
        if (p == size) return ECC_SUCCESS;
    }
    return ECC_BINDATA_MALFORMED;
}

void ParseBindataBase::DumpBindata(const uint8_t* data, int32_t size) {
    ECCTraceError("Bindata size: %d  Bindata data (in hex):", size);
    if (data == nullptr || size <= 0) return;
    if (size > MAX_BINDATA_SIZE) size = MAX_BINDATA_SIZE;
    std::string line = "    ";
    for (int32_t i = 0; i < size; ++i) {
        char hex[8];
        std::snprintf(hex, sizeof hex, " %02X", data[i]);
        line += hex;
        if ((i + 1) % 16 == 0) {
            ECCTraceError("%s", line.c_str());
            line = "    ";
        }
    }
    if (size % 16 != 0) ECCTraceError("%s", line.c_str());
}

int ParseBindataBase::ParseBindata(const uint8_t* data, int32_t size, ScalarList& scalars,
                                   ArrayList& arrays) {
    scalars.clear();
    arrays.clear();
    if (size > MAX_BINDATA_SIZE) {
        ECCTraceError(
            "The size of the expanded call context BINDATA = %d.  This is larger than the maximum "
            "supported BINDATA size of %d",
            size, MAX_BINDATA_SIZE);
        return ECC_BINDATA_TOO_LARGE;
    }
    auto malformed = [&]() {
        ECCTraceError("The format of the data in the bindata is not correct.  The data is:");
        DumpBindata(data, size);
        scalars.clear();
        arrays.clear();
        return ECC_BINDATA_MALFORMED;
    };
    if (size > 0 && data == nullptr) return malformed();
    int32_t p = 0;
    while (size > 0 && p < size) {
        if (p + 4 > size) return malformed();
        uint32_t word = plat::LoadLE32(data + p);
        if (static_cast<int32_t>(word) > 0) {
            int32_t nul = FindNul(data, p + 4, size);
            if (nul < 0) return malformed();
            std::string value(reinterpret_cast<const char*>(data + p + 4),
                              static_cast<size_t>(nul - p - 4));
            p = nul + 1;
            if (word == kScalarMarker) continue;
            int32_t id = static_cast<int32_t>(word);
            if (CheckScalarEntry(id, value) == ECC_SUCCESS) scalars.push_back({id, std::move(value)});
            continue;
        }
        if (p + 5 > size) return malformed();
        int count = data[p + 4];
        p += 5;
        ArrayListEntryStruct entry;
        entry.ExpandedCallVariableID = static_cast<int32_t>(0u - word);
        for (int i = 0; i < count; ++i) {
            if (p >= size) return malformed();
            int32_t nul = FindNul(data, p, size);
            if (nul < 0) return malformed();
            entry.values.emplace_back(reinterpret_cast<const char*>(data + p),
                                      static_cast<size_t>(nul - p));
            p = nul + 1;
        }
        if (word == kArrayMarker) continue;
        if (CheckArrayEntry(entry.ExpandedCallVariableID, entry.values) == ECC_SUCCESS) {
            arrays.push_back(std::move(entry));
        }
    }
    ECCTraceSuccess(
        "Expanded Call Context lists successfully updated from the bindata. BindataSize = %d, "
        "Scalar variable count = %d, Array variable count = %d",
        size, static_cast<int>(scalars.size()), static_cast<int>(arrays.size()));
    return ECC_SUCCESS;
}

// ---- ExpandedCallContextBase ----

ExpandedCallContextBase::ExpandedCallContextBase() : m_Bindata(new uint8_t[MAX_BINDATA_SIZE]) {}

ExpandedCallContextBase::~ExpandedCallContextBase() { delete[] m_Bindata; }

int ExpandedCallContextBase::CheckScalar(int32_t id) {
    int rc = ParseBindataBase::CheckScalar(id);
    if (rc != ECC_SUCCESS) return rc;
    ECCExpandedCallVariable def;
    rc = FindDefinitionByID(id, def);
    if (rc != ECC_SUCCESS) return rc;
    if (def.IsArray != 0) {
        ECCTraceError(
            "Attempt to do scalar operation on an array variable.  ExpandedCallVariableID = %d, "
            "EnterpriseName = %s",
            id, def.EnterpriseName.c_str());
        return ECC_SCALAR_OP_ON_ARRAY;
    }
    return ECC_SUCCESS;
}

int ExpandedCallContextBase::CheckArrayIndex(int32_t id, int32_t index) {
    int rc = ParseBindataBase::CheckArrayIndex(id, index);
    if (rc != ECC_SUCCESS) return rc;
    ECCExpandedCallVariable def;
    rc = FindDefinitionByID(id, def);
    if (rc != ECC_SUCCESS) return rc;
    if (def.IsArray == 0) {
        ECCTraceError(
            "Attempt to do array operation on an scalar variable.  ExpandedCallVariableID = %d, "
            "EnterpriseName = %s",
            id, def.EnterpriseName.c_str());
        return ECC_ARRAY_OP_ON_SCALAR;
    }
    if (def.MaximumArraySize <= index) {
        ECCTraceError(
            "The array index of an expanded call variable is larger than the maximum allowed of "
            "the array.  Array index = %d.  Maximum array size = %d. ExpandedCallVariableID = %d, "
            "EnterpriseName = %s",
            index, def.MaximumArraySize, id, def.EnterpriseName.c_str());
        return ECC_INDEX_TOO_LARGE;
    }
    return ECC_SUCCESS;
}

int ExpandedCallContextBase::CheckValueLength(int32_t id, const std::string& value) {
    ECCExpandedCallVariable def;
    int rc = FindDefinitionByID(id, def);
    if (rc != ECC_SUCCESS) return rc;
    rc = ParseBindataBase::CheckValueLength(id, value);
    if (rc != ECC_SUCCESS) return rc;
    int32_t length = TextLength(value);
    if (length > def.MaximumLength) {
        ECCTraceError(
            "The size of an expanded call context value is larger than the maximum allowed.  The "
            "length of the variable = %d.  Maximum variable length = %d. ExpandedCallVariableID = "
            "%d, EnterpriseName = %s",
            length, def.MaximumLength, id, def.EnterpriseName.c_str());
        return ECC_VALUE_TOO_LONG;
    }
    return ECC_SUCCESS;
}

int ExpandedCallContextBase::ParseIfNeeded() {
    if (m_ListsCurrent) return ECC_SUCCESS;
    int rc = ParseBindata(m_Bindata, m_BindataSize, m_Scalars, m_Arrays);
    if (rc == ECC_SUCCESS) m_ListsCurrent = 1;
    return rc;
}

int ExpandedCallContextBase::SetECCBindata(int32_t size, const uint8_t* data) {
    if (size > MAX_BINDATA_SIZE) {
        ECCTraceError(
            "The BINDATA is larger than the maximum supported bindata.  The bindata size = %d.  "
            "The maximum supported bindata size = %d",
            size, MAX_BINDATA_SIZE);
        return ECC_BINDATA_SIZE_INVALID;
    }
    if (size < 0) {
        ECCTraceError("The BINDATA is smaller than 0.  The bindata size = %d.", size);
        return ECC_BINDATA_SIZE_INVALID;
    }
    int rc = ValidateBindata(size, data);
    if (rc != ECC_SUCCESS) {
        ECCTraceError("SetECCBindata: Error parsing data.");
        return rc;
    }
    m_BindataSize = size;
    if (size > 0) std::memcpy(m_Bindata, data, static_cast<size_t>(size));
    m_Scalars.clear();
    m_Arrays.clear();
    m_ListsCurrent = 0;
    ECCTraceSuccess(
        "SetECCBindata() successfully set up the expanded call context BINDATA.  BindataSize = %d",
        size);
    return ECC_SUCCESS;
}

int ExpandedCallContextBase::GetECCBindata(int32_t& size, const uint8_t*& data) {
    int rc = ECC_SUCCESS;
    if (m_ListsCurrent) rc = BuildBindata(m_Scalars, m_Arrays, m_Bindata, m_BindataSize);
    size = m_BindataSize;
    data = m_Bindata;
    return rc;
}

int ExpandedCallContextBase::GetVariableID(const std::string& name, int32_t& id) {
    ECCExpandedCallVariable def;
    int rc = FindDefinitionByName(name, def);
    if (rc == ECC_SUCCESS) id = def.ExpandedCallVariableID;
    return rc;
}

int ExpandedCallContextBase::GetVariableName(int32_t id, std::string& name) {
    ECCExpandedCallVariable def;
    int rc = FindDefinitionByID(id, def);
    if (rc == ECC_SUCCESS) name = def.EnterpriseName;
    return rc;
}

int ExpandedCallContextBase::FindScalarEntry(int32_t id, ScalarListEntryStruct*& entry) {
    for (auto& s : m_Scalars) {
        if (s.ExpandedCallVariableID == id) {
            entry = &s;
            return 0;
        }
    }
    return 2;
}

int ExpandedCallContextBase::FindArrayEntry(int32_t id, ArrayListEntryStruct*& entry) {
    for (auto& a : m_Arrays) {
        if (a.ExpandedCallVariableID == id) {
            entry = &a;
            return 0;
        }
    }
    return 1;
}

int ExpandedCallContextBase::SetScalarValueByID(int32_t id, const std::string& value) {
    int rc = ParseIfNeeded();
    if (rc == ECC_SUCCESS) rc = CheckScalar(id);
    if (rc == ECC_SUCCESS) rc = CheckValueLength(id, value);
    if (rc != ECC_SUCCESS) return rc;
    const std::string text(value.c_str());
    ScalarListEntryStruct* entry = nullptr;
    if (FindScalarEntry(id, entry) == 0) {
        entry->value = text;
    } else {
        m_Scalars.push_back({id, text});
    }
    ECCTraceSuccess(
        "Expanded call variable scalar value was successfully set.  ExpandedCallVariableID = %d, "
        "Value = '%s'",
        id, text.c_str());
    return ECC_SUCCESS;
}

int ExpandedCallContextBase::SetArrayValueByID(int32_t id, int32_t index, const std::string& value) {
    int rc = CheckArrayIndex(id, index);
    if (rc == ECC_SUCCESS) rc = CheckValueLength(id, value);
    if (rc == ECC_SUCCESS) rc = ParseIfNeeded();
    if (rc != ECC_SUCCESS) return rc;
    // The index has passed the fixed check, so it lies within 0..255.
    const std::string text(value.c_str());
    ArrayListEntryStruct* entry = nullptr;
    if (FindArrayEntry(id, entry) != 0) {
        m_Arrays.push_back({id, {}});
        entry = &m_Arrays.back();
    }
    if (entry->values.size() <= static_cast<size_t>(index)) {
        entry->values.resize(static_cast<size_t>(index) + 1);
    }
    entry->values[static_cast<size_t>(index)] = text;
    ECCTraceSuccess(
        "Expanded call variable array value was successfully set.  ExpandedCallVariableID = %d, "
        "ArrayIndex = %d, Value = '%s'",
        id, index, text.c_str());
    return ECC_SUCCESS;
}

int ExpandedCallContextBase::SetScalarValue(const std::string& name, const std::string& value) {
    int32_t id = 0;
    int rc = GetVariableID(name, id);
    return rc != ECC_SUCCESS ? rc : SetScalarValueByID(id, value);
}

int ExpandedCallContextBase::SetArrayValue(const std::string& name, int32_t index,
                                           const std::string& value) {
    int32_t id = 0;
    int rc = GetVariableID(name, id);
    return rc != ECC_SUCCESS ? rc : SetArrayValueByID(id, index, value);
}

int ExpandedCallContextBase::GetListByName(std::vector<NameValueStruct>& list) {
    int rc = ParseIfNeeded();
    if (rc != ECC_SUCCESS) return rc;
    list.clear();
    std::string name;
    for (const auto& s : m_Scalars) {
        if (GetVariableName(s.ExpandedCallVariableID, name) != ECC_SUCCESS) continue;
        list.push_back({name, 0, 0, s.value});
    }
    for (const auto& a : m_Arrays) {
        if (GetVariableName(a.ExpandedCallVariableID, name) != ECC_SUCCESS) continue;
        for (size_t i = 0; i < a.values.size(); ++i) {
            list.push_back({name, 1, static_cast<int32_t>(i), a.values[i]});
        }
    }
    ECCTraceSuccess(
        "List of expanded call variables by name was successfully retrieved.  Number of items in "
        "the list = %d",
        static_cast<int>(list.size()));
    return ECC_SUCCESS;
}

int ExpandedCallContextBase::FormatByNameWithPrefix(const char* prefix, std::string& text) {
    int rc = ParseIfNeeded();
    if (rc != ECC_SUCCESS) return rc;
    std::vector<NameValueStruct> list;
    rc = GetListByName(list);
    if (rc != ECC_SUCCESS || list.empty()) return rc;
    const std::string lead = prefix != nullptr ? prefix : "";
    text += lead;
    text += "\nName                           Type        Index    Value";
    for (const auto& item : list) {
        text += lead;
        if (item.isArray != 0) {
            AppendFormat(text, "\n%-30s Array       %-8d %s", item.name.c_str(), item.index,
                         item.value.c_str());
        } else {
            AppendFormat(text, "\n%-30s Scalar               %-s", item.name.c_str(),
                         item.value.c_str());
        }
    }
    return ECC_SUCCESS;
}

int ExpandedCallContextBase::FormatByName(std::string& text) {
    return FormatByNameWithPrefix("", text);
}

int ExpandedCallContextBase::TraceByName() {
    std::vector<NameValueStruct> list;
    int rc = GetListByName(list);
    if (rc != ECC_SUCCESS || list.empty()) return rc;
    ECCTraceError("Name                           Type        Index    Value");
    for (const auto& item : list) {
        if (item.isArray != 0) {
            ECCTraceError("%-30s Array       %-8d %s", item.name.c_str(), item.index,
                          item.value.c_str());
        } else {
            ECCTraceError("%-30s Scalar               %-s", item.name.c_str(), item.value.c_str());
        }
    }
    return ECC_SUCCESS;
}

// ---- ExpandedCallContext ----

int ExpandedCallContext::FindDefinitionByName(const std::string& name, ECCExpandedCallVariable& out) {
    return LookupECCVariableByName(name, out);
}

int ExpandedCallContext::FindDefinitionByID(int32_t id, ECCExpandedCallVariable& out) {
    return LookupECCVariableByID(id, out);
}
