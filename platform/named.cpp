#include "platform/named.h"

#include "platform/lasterror.h"

namespace plat {

std::string MapObjectName(const std::string& name) { return name; }

SharedSection::~SharedSection() { Close(); }
bool SharedSection::Create(const std::string&, size_t) { return false; }
bool SharedSection::Open(const std::string&) { return false; }
void SharedSection::Close() {}

struct NamedMutex::State {};
NamedMutex::~NamedMutex() { Close(); }
bool NamedMutex::Create(const std::string&) { return false; }
bool NamedMutex::Open(const std::string&) { return false; }
void NamedMutex::Close() { state_.reset(); }
uint32_t NamedMutex::Lock(uint32_t) { return WAIT_FAILED; }
bool NamedMutex::Unlock() { return false; }
bool NamedMutex::IsOwnedByCurrentThread() const { return false; }
bool NamedMutexExists(const std::string&) { return false; }

NamedMarkerEvent::NamedMarkerEvent(const std::string& name) : path_(name) {}
bool NamedMarkerEvent::Set() { return false; }
bool NamedMarkerEvent::Reset() { return false; }
bool NamedMarkerEvent::IsSet() const { return false; }
uint32_t NamedMarkerEvent::Wait(uint32_t) const { return WAIT_TIMEOUT; }

}  // namespace plat
