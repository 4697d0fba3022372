// The stand-in OPC's control pipe, as ./run starts it: script lines written into the pipe
// reach the stand-in, one writer after another, while it keeps the server active.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include "tests/parlo/process/parlo_env.h"

namespace {

using parlotest::Process;

class OpcControl : public parlotest::ParloEnv {
protected:
    // Writes text as one writer; false when no reader opened the pipe within about 20 s.
    static bool WriteAsOneWriter(Process& opc, const std::string& path, const std::string& text) {
        int fd = -1;
        for (int tries = 0; tries < 400 && fd < 0; ++tries) {
            fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd < 0 && errno != ENXIO && errno != ENOENT) return false;
            if (fd < 0) (void)opc.WaitText("\x01never", 50);  // reads what comes meanwhile
        }
        if (fd < 0) return false;
        const bool whole = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::close(fd);
        return whole;
    }
};

TEST_F(OpcControl, LinesOfEachWriterReachTheStandInBesideItsStart) {
    const std::string fifo = (root_->path() / "opc.in").string();
    Process opc({PARLO_OPC_BIN, "--instance", parlotest::kBase, "--start", "--control", fifo});
    ASSERT_TRUE(opc.WaitText("parlo-opc: in service")) << opc.Output();
    auto parlo = Start();
    ASSERT_TRUE(parlo->WaitText("The server is Active.")) << parlo->Output() << opc.Output();

    ASSERT_TRUE(WriteAsOneWriter(opc, fifo, "pg-status status=0 id=4 arg1=5000\n"));
    ASSERT_TRUE(opc.WaitText("send CTI_PG_STATUS_EVENT status 0x0 id 4 arg1 5000")) << opc.Output();
    // The pipe is read again after its first writer closed it.
    ASSERT_TRUE(WriteAsOneWriter(opc, fifo, "pg-status status=0 id=5 text=second\n"));
    ASSERT_TRUE(opc.WaitText("send CTI_PG_STATUS_EVENT status 0x0 id 5")) << opc.Output();
    EXPECT_EQ(parlo->Output().find("FATAL"), std::string::npos) << parlo->Output();
}

}  // namespace
