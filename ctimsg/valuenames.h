#pragma once
// Value names of enumerated fields. A known value gives its constant name; an unknown one
// is formatted with the operation's own unknown text into a buffer that belongs to that
// operation and to the calling thread, valid until the same thread's next call of it.
#include <cstdint>
#include <string>

const char* AgentStateName(int32_t value);
const char* AgentWorkModeName(int32_t value);
const char* AllocationStateName(int32_t value);
const char* AnswerDetectModeName(int32_t value);
const char* AnsweringMachineName(int32_t value);
const char* CallMannerTypeName(int32_t value);
const char* CallOptionName(int32_t value);
const char* CallPlacementTypeName(int32_t value);
const char* ConfigAgentTypeName(int32_t value);
const char* ConfigDeviceTypeName(int32_t value);
const char* ConfigEndStatusName(int32_t value);
const char* ConfigKeyStatusName(int32_t value);
const char* ConfigRecordTypeName(int32_t value);
const char* ConfigTypeName(int32_t value);
const char* ConsultTypeName(int32_t value);
const char* DestinationCountryName(int32_t value);
const char* DistributionName(int32_t value);
const char* FacilityTypeName(int32_t value);
const char* LineTypeName(int32_t value);
const char* QueryDeviceDataTypeName(uint16_t value);
const char* RouteRegistrationCauseName(int32_t value);
const char* RTPDirectionName(int32_t value);
const char* RTPTypeName(int32_t value);
const char* SilentMonitorStatusName(int32_t value);
const char* ObjectStateName(int32_t value);

const char* LocalConnectionStateName(int32_t value);
const char* CallTypeName(int32_t value);
const char* PeripheralTypeName(int32_t value);
const char* PGStatusEventName(int32_t value);
const char* EventCauseName(int32_t value);
const char* FailureCodeName(int32_t value);
const char* ARMStatusName(int32_t value);
const char* CalledPartyDispositionName(int32_t value);

const char* AgentActionName(int32_t value);
const char* AgentGreetingEventName(int32_t value);
const char* ClassOfDeviceName(int32_t value);
const char* ConnectionDeviceIDTypeName(int32_t value);
const char* DeviceIDTypeName(int32_t value);
const char* TypeOfDeviceName(int32_t value);

// "ConfigurationInformation: " and the names of the set bits of the low 16 bits.
std::string ConfigInformationText(int32_t mask);
// Peripheral gateway status text, at most 127 characters.
const char* PGStatusText(int32_t status);
