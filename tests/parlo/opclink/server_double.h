#pragma once
// A test double of the OPC link's server port: the state the test sets (INVALID, as with no
// server, unless set), the control requests and application messages it is handed recorded by
// type. Install() puts it in place and the destructor puts the previous port back.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "parlo/common/serverstate.h"
#include "parlo/opclink/opclinkport.h"

namespace opclinktest {

class LinkServerDouble final : public OPCLinkServer {
public:
    ~LinkServerDouble() override { Uninstall(); }
    void Install() {
        previous_ = InstallOPCLinkServer(this);
        installed_ = true;
    }
    void Uninstall() {
        if (installed_) (void)InstallOPCLinkServer(previous_);
        installed_ = false;
    }
    void ProcessCTISetIdleReq(const uint8_t*, size_t, uint32_t) override { Note(0); }
    void ProcessCTISetActiveReq(const uint8_t*, size_t) override { Note(1); }
    void ProcessMaintenanceModeRequest(const uint8_t*, size_t, uint32_t) override { Note(122); }
    void ProcessMaintenanceModeInProgress(const uint8_t*, size_t) override { Note(123); }
    void SetPGTime(int64_t) override {}
    void QueueOPCMessage(int type, int, const uint8_t*) override { Note(type); }
    void ReportPGStatusText(const char*) override {}
    void UpdateMeter(int, int32_t) override {}
    int GetState() const override { return state.load(); }
    bool IsStoppingRequestsPending() override { return false; }
    std::vector<int> Handled() {
        std::lock_guard<std::mutex> hold(mutex_);
        return handled_;
    }

    std::atomic<int> state{serverstate::INVALID};

private:
    void Note(int type) {
        std::lock_guard<std::mutex> hold(mutex_);
        handled_.push_back(type);
    }
    std::mutex mutex_;
    std::vector<int> handled_;
    OPCLinkServer* previous_ = nullptr;
    bool installed_ = false;
};

}  // namespace opclinktest
