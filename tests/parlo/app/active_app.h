// The start and end the application tests share: the OPC link with its output captured, and
// the application made active with the server. Each fixture keeps its own registry, metrics
// and model clean-up between these steps.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "mdstimer/timer.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/opclink/opcreq.h"
#include "parlo/server/server.h"
#include "platform/clock.h"
#include "tests/parlo/app/running_app.h"
#include "tests/parlo/opclink/output_capture.h"

namespace apptest {

// The timer master at now and the OPC link reset with one MDS connection; what the link
// would send is captured until EndOPCLink.
inline std::unique_ptr<opclinktest::OutputCapture> BeginOPCLink() {
    const uint64_t now = plat::FileTimeNow();
    TimerMaster::Create(now, now, true, 0);
    MDSIO::ResetForTest();
    MDSIO::SetMDSConnections(1);
    return std::make_unique<opclinktest::OutputCapture>();
}

// The application on `registry`, activated with `server` through `port` (installed here),
// and the server-active flag set. A failed activation fails the calling test.
inline std::unique_ptr<CTIApplication> StartActiveApplication(Server& server, ThreadStartingPort& port,
                                                              CTIRegistry& registry) {
    server.SetState(Server::IDLE);
    port.Install();
    auto app = MakeApplication(registry);
    EXPECT_EQ(1, ActivateWithServer(server, *app));
    MDSIO::SetServerActive(1);
    return app;
}

// The capture released, the link reset and every outstanding OPC request dropped.
inline void EndOPCLink(std::unique_ptr<opclinktest::OutputCapture>& capture) {
    capture.reset();
    MDSIO::ResetForTest();
    OPCReq::ClearAll();
}

}  // namespace apptest
