#include "ctimsg/eccdefs.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <shared_mutex>

#include "nuvlib/ems.h"

namespace {

constexpr uint32_t kECCSuccessTraceBit = 0x10000;

// Written by the configuration handler, read by sessions and the application: a lookup must
// never meet a half-done change.
struct Registry {
    std::shared_mutex lock;
    std::vector<ECCExpandedCallVariable> records;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

int IndexOf(const std::vector<ECCExpandedCallVariable>& records, int32_t id) {
    for (size_t i = 0; i < records.size(); ++i) {
        if (records[i].ExpandedCallVariableID == id) return static_cast<int>(i);
    }
    return -1;
}

void AppendLocked(Registry& r, const ECCExpandedCallVariable& v) { r.records.push_back(v); }

void TraceVa(const char* format, va_list ap) {
    char buf[1024];
    vsnprintf(buf, sizeof buf, format, ap);
    EMSTraceMessage("%s", buf);
}

}  // namespace

void ECCTraceSuccess(const char* format, ...) {
    if ((EMSGetTraceMask() & kECCSuccessTraceBit) == 0) return;
    va_list ap;
    va_start(ap, format);
    TraceVa(format, ap);
    va_end(ap);
}

void ECCTraceError(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    TraceVa(format, ap);
    va_end(ap);
}

int AddECCVariableDefinition(int32_t id, const std::string& name, int32_t maximumLength,
                             int32_t maximumArraySize, int32_t isArray) {
    Registry& r = TheRegistry();
    ECCExpandedCallVariable v{id, name, maximumLength, maximumArraySize, isArray};
    bool added = false;
    {
        std::unique_lock lock(r.lock);
        if (IndexOf(r.records, id) < 0) {
            AppendLocked(r, v);
            added = true;
        }
    }
    if (!added) {
        ECCTraceError(
            "Attempt to add a variable that is already defined. ExpandedCallVariableID = %d", id);
        return ECC_ALREADY_DEFINED;
    }
    if (v.IsArray) {
        ECCTraceSuccess(
            "Array Expanded Call Variable was added: ExpandedCallVariableID = %d, EnterpriseName = "
            "%s, MaximumLength = %d, MaximumArraySize = %d",
            v.ExpandedCallVariableID, v.EnterpriseName.c_str(), v.MaximumLength,
            v.MaximumArraySize);
    } else {
        ECCTraceSuccess(
            "Scalar Expanded Call Variable was added: ExpandedCallVariableID = %d, EnterpriseName = "
            "%s, MaximumLength = %d",
            v.ExpandedCallVariableID, v.EnterpriseName.c_str(), v.MaximumLength);
    }
    return ECC_SUCCESS;
}

int AppendECCVariableDefinition(const ECCExpandedCallVariable& definition) {
    Registry& r = TheRegistry();
    std::unique_lock lock(r.lock);
    AppendLocked(r, definition);
    return ECC_SUCCESS;
}

int UpdateECCVariableDefinition(int32_t id, const std::string& name, int32_t maximumLength,
                                int32_t maximumArraySize, int32_t isArray) {
    Registry& r = TheRegistry();
    ECCExpandedCallVariable v{id, name, maximumLength, maximumArraySize, isArray};
    bool found = false;
    {
        std::unique_lock lock(r.lock);
        int index = IndexOf(r.records, id);
        if (index >= 0) {
            r.records[static_cast<size_t>(index)] = v;
            found = true;
        }
    }
    if (!found) {
        ECCTraceError(
            "Attempt to update a variable that is not defined.  ExpandedCallVariableID = %d", id);
        return ECC_NOT_DEFINED;
    }
    if (v.IsArray) {
        ECCTraceSuccess(
            "Array Expanded Call Variable was updated: ExpandedCallVariableID = %d, EnterpriseName "
            "= %s, MaximumLength = %d, MaximumArraySize = %d",
            v.ExpandedCallVariableID, v.EnterpriseName.c_str(), v.MaximumLength,
            v.MaximumArraySize);
    } else {
        ECCTraceSuccess(
            "Scalar Expanded Call Variable was updated: ExpandedCallVariableID = %d, EnterpriseName "
            "= %s, MaximumLength = %d",
            v.ExpandedCallVariableID, v.EnterpriseName.c_str(), v.MaximumLength);
    }
    return ECC_SUCCESS;
}

int DeleteECCVariableDefinition(int32_t id) {
    Registry& r = TheRegistry();
    ECCExpandedCallVariable old;
    bool found = false;
    {
        std::unique_lock lock(r.lock);
        int index = IndexOf(r.records, id);
        if (index >= 0) {
            old = r.records[static_cast<size_t>(index)];
            r.records.erase(r.records.begin() + index);
            found = true;
        }
    }
    if (!found) {
        ECCTraceError(
            "Attempt to delete a variable that is not defined.  ExpandedCallVariableID = %d", id);
        return ECC_NOT_DEFINED;
    }
    if (old.IsArray) {
        ECCTraceSuccess(
            "Array Expanded Call Variable will be deleted: ExpandedCallVariableID = %d, "
            "EnterpriseName = %s, MaximumLength = %d, MaximumArraySize = %d",
            old.ExpandedCallVariableID, old.EnterpriseName.c_str(), old.MaximumLength,
            old.MaximumArraySize);
    } else {
        ECCTraceSuccess(
            "Scalar Expanded Call Variable will be deleted: ExpandedCallVariableID = %d, "
            "EnterpriseName = %s, MaximumLength = %d",
            old.ExpandedCallVariableID, old.EnterpriseName.c_str(), old.MaximumLength);
    }
    return ECC_SUCCESS;
}

int LookupECCVariableByID(int32_t id, ECCExpandedCallVariable& out) {
    Registry& r = TheRegistry();
    std::shared_lock lock(r.lock);
    int index = IndexOf(r.records, id);
    if (index < 0) return ECC_NOT_DEFINED;
    out = r.records[static_cast<size_t>(index)];
    return ECC_SUCCESS;
}

int LookupECCVariableByName(const std::string& name, ECCExpandedCallVariable& out) {
    Registry& r = TheRegistry();
    std::shared_lock lock(r.lock);
    for (const auto& v : r.records) {
        if (v.EnterpriseName == name) {
            out = v;
            return ECC_SUCCESS;
        }
    }
    return ECC_NOT_DEFINED;
}

int FindECCVariableIndex(int32_t id, int& index) {
    Registry& r = TheRegistry();
    std::shared_lock lock(r.lock);
    int i = IndexOf(r.records, id);
    if (i < 0) return ECC_NOT_DEFINED;
    index = i;
    return ECC_SUCCESS;
}

int CopyECCVariableDefinitions(std::vector<ECCExpandedCallVariable>& out) {
    Registry& r = TheRegistry();
    std::shared_lock lock(r.lock);
    out.insert(out.end(), r.records.begin(), r.records.end());
    return ECC_SUCCESS;
}
