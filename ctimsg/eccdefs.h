#pragma once
// The process-wide registry of expanded call variable definitions, filled from the peripheral
// controller's configuration and read by every expanded call context and by the encoder's
// per-session variable selection.
#include <cstdint>
#include <string>
#include <vector>

struct ECCExpandedCallVariable {
    int32_t ExpandedCallVariableID = 0;
    std::string EnterpriseName;
    int32_t MaximumLength = 0;
    int32_t MaximumArraySize = 0;
    int32_t IsArray = 0;
};

// Result codes shared with the expanded call context.
constexpr int ECC_SUCCESS = 0;
constexpr int ECC_ALREADY_DEFINED = -2;
constexpr int ECC_NOT_DEFINED = -3;

int AddECCVariableDefinition(int32_t id, const std::string& name, int32_t maximumLength,
                             int32_t maximumArraySize, int32_t isArray);
// Appends the record behind the others without looking for its id; Add checks first.
int AppendECCVariableDefinition(const ECCExpandedCallVariable& definition);
int UpdateECCVariableDefinition(int32_t id, const std::string& name, int32_t maximumLength,
                                int32_t maximumArraySize, int32_t isArray);
int DeleteECCVariableDefinition(int32_t id);
int LookupECCVariableByID(int32_t id, ECCExpandedCallVariable& out);
int LookupECCVariableByName(const std::string& name, ECCExpandedCallVariable& out);
int FindECCVariableIndex(int32_t id, int& index);
int CopyECCVariableDefinitions(std::vector<ECCExpandedCallVariable>& out);

// Trace texts of the expanded call context: success lines only under trace-mask bit 0x10000,
// error lines always. Formatted into 1024 bytes.
void ECCTraceSuccess(const char* format, ...) __attribute__((format(printf, 1, 2)));
void ECCTraceError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A receiving session's registered variables: the encoder sends only the variables named here.
using ECCSelection = std::vector<ECCExpandedCallVariable>;
