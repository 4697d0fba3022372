#pragma once
// A test's fake MDS client, given as plain functions, as the port event reporting reaches.
#include "nuvlib/mdsport.h"

namespace emstest {

struct FakeMDSFunctions {
    int32_t (*stamp)();
    int (*synchronized)();
    void* (*alloc)(uint32_t length);
    void (*free)(void* payload);
    int (*send)(uint32_t messageClass, uint32_t messageType, uint32_t flag, void* payload, uint32_t length);
    void (*stop)(int reason);
};

class FakeMDSClient final : public MDSClientPort {
public:
    explicit FakeMDSClient(const FakeMDSFunctions& f) : f_(f) {}
    int32_t GetLastInputStamp() override { return f_.stamp(); }
    int IsSynchronized() override { return f_.synchronized(); }
    void* AllocBuffer(uint32_t length) override { return f_.alloc(length); }
    void FreeBuffer(void* payload) override { f_.free(payload); }
    int SendCheckpoint(uint32_t cls, uint32_t type, uint32_t flag, void* payload, uint32_t length) override {
        return f_.send(cls, type, flag, payload, length);
    }
    void StopClient(int reason) override { f_.stop(reason); }

private:
    FakeMDSFunctions f_;
};

}  // namespace emstest
