#pragma once
// A test fixture with the recording ports installed, the model's tables ready and the
// fake clock pinned.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctimsg/basemsg.h"
#include "ctimsg/elementdict.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "tests/parlo/model/recording_ports.h"
#include "tests/support/fake_clock.h"

namespace modeltest {

class ModelTest : public testsupport::FakeClockTest {
protected:
    ModelTest() {
        ports.Install();
        Call::InitCallList();
        CTICSTADevice::InitHashTables();
        CTICSTAConnection::InitFreeList();
        CTICSTAMonitor::InitHashTable();
        ports.peripheralTypes[5000] = 48;
        ports.peripheralTypes[5001] = 18;
        ports.peripheralTypes[5002] = 1;
    }

    // Lines recorded since the last call that contain every one of the given texts.
    std::vector<std::string> Lines(std::initializer_list<const char*> parts) {
        std::vector<std::string> out;
        for (const std::string& l : ports.lines) {
            bool all = true;
            for (const char* p : parts) all = all && l.find(p) != std::string::npos;
            if (all) out.push_back(l);
        }
        return out;
    }

    static Call* NewCall(uint32_t periph, uint32_t callID, const char* src = "1001",
                         int16_t periphType = 48) {
        return Call::Alloc(periph, callID, 0, src, periphType, 1, 0, 0, 0);
    }

    static CTICSTADevice* NewDevice(uint32_t periph, int type, const char* id,
                                    const char* ext = "") {
        CSTAExtendedDeviceID rec;
        snprintf(rec.deviceID, sizeof rec.deviceID, "%s", id);
        rec.deviceIDType = type;
        return FindOrCreateCTICSTADevice(periph, &rec, ext, "test", false, true);
    }

    // Gives every required field the handler would fill a value its check accepts.
    static void FillRequired(BaseMSG& msg) {
        static const uint16_t kTries[] = {0xFFFF, 0, 1, 2};
        uint32_t last = 0;
        int attempt = 0;
        for (int guard = 0; guard < 128 && msg.ValidateToSend(24) != 0; ++guard) {
            const uint32_t id = msg.GetFailingElement();
            attempt = id == last ? attempt + 1 : 0;
            last = id;
            const elementdict::Row* row = elementdict::FindRow(id);
            if (row == nullptr || attempt >= 4) return;
            switch (row->base) {
                case elementdict::Base::UINTElement: msg.SetUINT(id, kTries[attempt]); break;
                case elementdict::Base::INTElement: msg.SetINT(id, kTries[attempt]); break;
                case elementdict::Base::STRINGElement: msg.SetSTRING(id, "x"); break;
                default: msg.SetUSHORT(id, kTries[attempt]); break;
            }
        }
    }

    RecordingPorts ports;
};

}  // namespace modeltest
