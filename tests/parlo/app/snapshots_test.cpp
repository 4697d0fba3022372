// Snapshots of calls and devices and the device query over real sessions: what reaches OPC,
// what is answered at once or refused, and OPC's confirmations merged with the model, lying
// ones among them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctimsg/failurecodes.h"
#include "ctimsg/msgtypes.h"
#include "ctimsg/names.h"
#include "ctimsg/servicemask.h"
#include "opcmsg/cstarequests.h"
#include "tests/parlo/app/confirmation_fixture.h"

namespace calltest {
namespace {

const uint16_t kCSTASnapshotCall = TPCSTASnapshotCallMsg::kDesc.eventType;
const uint16_t kCSTASnapshotDevice = TPCSTASnapshotDeviceMsg::kDesc.eventType;
const uint16_t kCSTAQueryDeviceInfo = TPCSTAQueryDeviceInfoMsg::kDesc.eventType;

std::string BodyText(const opcpeer::CstaRequest& r, size_t at, size_t width) {
    const char* t = reinterpret_cast<const char*>(r.body.data() + at);
    return std::string(t, strnlen(t, width));
}
uint32_t BodyWord(const opcpeer::CstaRequest& r, size_t at) { return plat::LoadLE32(r.body.data() + at); }

std::unique_ptr<SnapshotCallReqMSG> SnapshotCall(uint32_t invokeID, uint32_t callID, const char* device,
                                                 uint16_t type = 0) {
    auto m = std::make_unique<SnapshotCallReqMSG>();
    m->SetUINT(elementid::InvokeID, invokeID);
    m->SetUINT(elementid::CTIPeripheralID, kPeriph);
    m->SetUINT(elementid::ConnectionCallID, callID);
    m->SetUSHORT(elementid::ConnectionDeviceIDType, type);
    m->SetSTRING(elementid::ConnectionDeviceID, device);
    return m;
}

std::unique_ptr<SnapshotDeviceReqMSG> SnapshotDevice(uint32_t invokeID, const char* instrument) {
    auto m = std::make_unique<SnapshotDeviceReqMSG>();
    m->SetUINT(elementid::InvokeID, invokeID);
    m->SetUINT(elementid::CTIPeripheralID, kPeriph);
    m->SetUSHORT(elementid::SnapshotDeviceType, 0);
    m->SetSTRING(elementid::AgentInstrument, instrument);
    return m;
}

// OPC's device snapshot: entries of 84 bytes (connection, state-list count and offset,
// silent-monitor status) followed by their one-word state lists, in the first private data.
struct DeviceSnapshot {
    struct Entry {
        uint32_t callID;
        std::string device;
        uint32_t state;
        uint32_t status = 0;
        uint32_t stateOffset = 0xFFFFFFFE;  // default: its own slot after the entries
    };
    std::vector<Entry> entries;
    int32_t count = -2;  // -2: the number of entries

    Bytes Body() const {
        Bytes b;
        opctest::Add32(b, static_cast<uint32_t>(count == -2 ? static_cast<int32_t>(entries.size()) : count));
        opctest::Add32(b, 0);
        return b;
    }
    Bytes Raw() const {
        Bytes raw;
        const uint32_t lists = static_cast<uint32_t>(84 * entries.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            const Entry& e = entries[i];
            opctest::AddConn(raw, e.callID, e.device, 0);
            opctest::Add32(raw, 1);
            opctest::Add32(raw, e.stateOffset == 0xFFFFFFFE ? lists + 4 * static_cast<uint32_t>(i) : e.stateOffset);
            opctest::Add32(raw, e.status);
        }
        for (const Entry& e : entries) opctest::Add32(raw, e.state);
        return raw;
    }
};

class SnapshotTest : public ConfirmationTest {
protected:
    // An open session at that protocol version.
    bool OpenAt(Client& c, uint32_t services, const char* clientID, uint32_t version) {
        auto open = sesstest::OpenReq(1, 30, services, clientID, version);
        open->SetUINT(elementid::CallMsgMask, 0);  // every call message bit exists at 24 only
        EXPECT_TRUE(c.Send(*open, version));
        return c.Read(version).type == OPEN_CONF;
    }
    static std::vector<Received> UntilAt(Client& c, const std::string& fence, uint32_t version) {
        std::vector<Received> got;
        for (;;) {
            Received r = c.Read(version);
            if (r.type == 0 || (r.type == SYSTEM_EVENT && r.msg->GetSTRING(elementid::CTIText) != nullptr &&
                                fence == r.msg->GetSTRING(elementid::CTIText)))
                break;
            got.push_back(std::move(r));
        }
        return got;
    }
    // The peripheral as the server and the application know it (the application keeps the
    // first type it learns).
    void Peripheral(int32_t peripheralID, int16_t type, int32_t flag) {
        server_->SetPeripheralType(peripheralID, type);
        server_->SetPeripheralMultiline(peripheralID, flag);
        app_->AddPeripheral(static_cast<uint32_t>(peripheralID), static_cast<uint16_t>(type));
    }
    void SnapshotDeviceConf(OPCReq* record, const DeviceSnapshot& snapshot) {
        Confirm(CONF_TYPE(TPCSTASnapshotDeviceConfEventMsg), record, snapshot.Body(), {}, snapshot.Raw());
    }
};

// A device snapshot is for the session's own instrument unless the session sees the whole
// peripheral; a refusal sends nothing and keeps no record.
TEST_F(SnapshotTest, ADeviceSnapshotOfAnotherInstrumentNeedsThePeripheralView) {
    struct Case {
        const char* what;
        uint32_t services;  // 0: the agent-mode session of agent 1002 (instrument 4002)
        const char* instrument;
        bool refused;
    } cases[] = {
        {"agent mode, another instrument", 0, "4001", true},
        {"agent mode, none named", 0, "", true},
        {"agent mode, its own", 0, "4002", false},
        {"all events", servicemask::ALL_EVENTS | servicemask::CLIENT_CONTROL, "4001", false},
        {"peripheral monitor", servicemask::PERIPHERAL_MONITOR | servicemask::CLIENT_CONTROL, "4003", false},
    };
    Client agent(Port());
    ASSERT_TRUE(OpenAgent(agent, "1002", "desk1002"));
    uint32_t n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Client other(Port());
        if (c.services != 0) {
            ASSERT_TRUE(Open(other, c.services, ("desk" + std::to_string(++n)).c_str()));
        }
        Client& client = c.services != 0 ? other : agent;
        const uint32_t invokeID = 70 + ++n;
        const int outstanding = OPCReq::CountLive();  // the agent's open leaves one
        ASSERT_TRUE(client.Send(*SnapshotDevice(invokeID, c.instrument)));
        if (c.refused) {
            Received r = client.Read();
            ASSERT_EQ(CONTROL_FAILURE_CONF, r.type);
            EXPECT_EQ(invokeID, r.msg->GetUINT(elementid::InvokeID));
            EXPECT_EQ(failurecode::Of("CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE"),
                      r.msg->GetUSHORT(elementid::FailureCode));
            EXPECT_TRUE(TakeCsta().empty());
            EXPECT_EQ(outstanding, OPCReq::CountLive());
            continue;
        }
        opcpeer::CstaRequest sent;
        ASSERT_TRUE(NextCsta(&sent));
        EXPECT_EQ(kCSTASnapshotDevice, sent.eventType);
        EXPECT_EQ(invokeID, sent.clientInvokeID);
        EXPECT_EQ(c.instrument, BodyText(sent, 0, 64));
        OPCReq* record = OPCReq::Find(sent.invokeID);
        ASSERT_NE(nullptr, record);
        EXPECT_EQ(static_cast<uint32_t>(kPeriph), record->PeripheralID);
        EXPECT_EQ(c.instrument, record->Instrument);
        OPCReq::Release(record);
    }
}

TEST_F(SnapshotTest, AQueryNamesTheDeviceAndTheDataAsked) {
    Client client(Port());
    ASSERT_TRUE(Open(client, kMonitorControl, "desk"));
    QueryDeviceInfoReqMSG query;
    query.SetUINT(elementid::InvokeID, 41);
    query.SetUINT(elementid::CTIPeripheralID, kPeriph);
    query.SetUSHORT(elementid::QueryDeviceDataType, 3);
    query.SetSTRING(elementid::AgentInstrument, "4007");
    ASSERT_TRUE(client.Send(query));
    opcpeer::CstaRequest sent;
    ASSERT_TRUE(NextCsta(&sent));
    EXPECT_EQ(kCSTAQueryDeviceInfo, sent.eventType);
    EXPECT_EQ(41u, sent.clientInvokeID);
    EXPECT_EQ("4007", BodyText(sent, 0, 64));
    ASSERT_GE(sent.opc.size(), 4u);
    EXPECT_EQ(3u, plat::LoadLE32(sent.opc.data()));
    EXPECT_NE(nullptr, OPCReq::Find(sent.invokeID));
}

// A call the model tracks but the switch no longer reports as active is answered from the
// model; an active one and an unknown one go to OPC, with the model's identity when it has one.
TEST_F(SnapshotTest, OnlyACallTheSwitchNoLongerReportsIsAnsweredLocally) {
    Client client(Port());
    ASSERT_TRUE(Open(client, servicemask::PERIPHERAL_MONITOR | servicemask::CLIENT_CONTROL, "watcher"));
    Call* quiet = NewCall(700, {{"4001", 3}});
    quiet->Deactivate();
    NewCall(701, {{"4001", 3}});

    ASSERT_TRUE(client.Send(*SnapshotCall(11, 700, "4001")));
    Received r = client.Read();
    ASSERT_EQ(SNAPSHOT_CALL_CONF, r.type);
    EXPECT_EQ(11u, r.msg->GetUINT(elementid::InvokeID));
    EXPECT_EQ(1u, r.msg->GetUSHORT(elementid::NumCallDevices));
    EXPECT_STREQ("4001", r.msg->GetSTRING(elementid::CallConnectionDeviceID));
    EXPECT_TRUE(TakeCsta().empty());
    EXPECT_EQ(0, OPCReq::CountLive());

    struct Case {
        uint32_t callID;
        const char* device;
        uint16_t type;
    } toOPC[] = {{701, "4001", 0}, {9999, "7777", 1}};
    for (const Case& c : toOPC) {
        SCOPED_TRACE(c.callID);
        ASSERT_TRUE(client.Send(*SnapshotCall(12, c.callID, c.device, c.type)));
        opcpeer::CstaRequest sent;
        ASSERT_TRUE(NextCsta(&sent));
        EXPECT_EQ(kCSTASnapshotCall, sent.eventType);
        EXPECT_EQ(12u, sent.clientInvokeID);
        EXPECT_EQ(c.callID, BodyWord(sent, 0));
        EXPECT_EQ(c.device, BodyText(sent, 4, 64));
        EXPECT_EQ(c.type, BodyWord(sent, 68));
        OPCReq* record = OPCReq::Find(sent.invokeID);
        ASSERT_NE(nullptr, record);
        EXPECT_EQ(c.callID, record->CallID);
        EXPECT_EQ(c.device, record->DeviceID);
        EXPECT_EQ(c.type, record->DeviceIDType);
    }
}

// OPC's call snapshot: its private data fills the consult call, the call type (also into the
// model), the recording status, the texts and at most 32 services; a call that has gone since
// the request is refused with 11 and PeripheralErrorCode 1.
TEST_F(SnapshotTest, ACallSnapshotTakesOPCsPrivateData) {
    Client client(Port());
    const int32_t session = OpenSession(client, kMonitorControl, "desk");
    ASSERT_GT(session, 0);
    Call* call = NewCall(950, {{"4001", 3}, {"4002", 3}});
    Bytes pd;
    opctest::Add32(pd, 9);    // call type
    opctest::Add32(pd, 77);   // CallTypeID
    opctest::AddConn(pd, 960, "4003", 0);
    opctest::Add16(pd, 2);    // recording status
    opctest::Add16(pd, 0);
    opctest::AddText(pd, "guid-1", 64);
    opctest::AddText(pd, "cfg-9", 40);
    opctest::Add32(pd, 40);   // services, more than the 32 the data holds
    for (uint32_t i = 0; i < 32; ++i) opctest::Add16(pd, 100 + i);
    pd.resize(320, 0);
    OPCReq* record = Record(session, 31);
    record->PeripheralID = kPeriph;
    record->CallID = 950;
    record->DeviceIDType = 0;
    record->DeviceID = "4001";
    Confirm(CONF_TYPE(TPCSTASnapshotCallConfEventMsg), record, {0, 0, 0, 0, 0, 0, 0, 0}, pd);
    std::vector<Received> got = Until(client, Fence());
    ASSERT_EQ(1u, got.size());
    ASSERT_EQ(SNAPSHOT_CALL_CONF, got[0].type);
    BaseMSG& conf = *got[0].msg;
    EXPECT_EQ(31u, conf.GetUINT(elementid::InvokeID));
    EXPECT_EQ(9u, conf.GetUSHORT(elementid::CtiCallType));
    EXPECT_EQ(77u, conf.GetUINT(elementid::CallTypeID));
    EXPECT_EQ(960u, conf.GetUINT(elementid::COCConnectionCallID));
    EXPECT_STREQ("4003", conf.GetSTRING(elementid::COCCallConnectionDeviceID));
    EXPECT_EQ(2u, conf.GetUSHORT(elementid::RecordingStatus));
    EXPECT_STREQ("guid-1", conf.GetSTRING(elementid::ProtocolReferenceGUID));
    EXPECT_STREQ("cfg-9", conf.GetSTRING(elementid::TessalyConfigId));
    EXPECT_EQ(2u, conf.GetUSHORT(elementid::NumCallDevices));
    EXPECT_EQ(131u, conf.GetUSHORT(elementid::FltEnabledServices, 31));
    EXPECT_EQ(9, call->m_CallType);
    EXPECT_EQ(77, call->m_CallTypeID);
    EXPECT_TRUE(call->IsReported());

    // Private data that stops short: the rest keeps its defaults (no consult call).
    record = Record(session, 32);
    record->PeripheralID = kPeriph;
    record->CallID = 950;
    record->DeviceIDType = 0;
    record->DeviceID = "4001";
    Confirm(CONF_TYPE(TPCSTASnapshotCallConfEventMsg), record, {0, 0, 0, 0, 0, 0, 0, 0}, Line(0, 5));
    got = Until(client, Fence());
    ASSERT_EQ(1u, got.size());
    ASSERT_EQ(SNAPSHOT_CALL_CONF, got[0].type);
    EXPECT_EQ(0u, got[0].msg->GetUINT(elementid::COCConnectionCallID));
    EXPECT_EQ(9, call->m_CallType);  // a call type of 0 changes nothing
    EXPECT_EQ(5, call->m_CallTypeID);

    record = Record(session, 33);
    record->PeripheralID = kPeriph;
    record->CallID = 951;
    record->DeviceIDType = 0;
    record->DeviceID = "4001";
    Confirm(CONF_TYPE(TPCSTASnapshotCallConfEventMsg), record, {0, 0, 0, 0, 0, 0, 0, 0}, pd);
    got = Until(client, Fence());
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(CONTROL_FAILURE_CONF, got[0].type);
    EXPECT_EQ(33u, got[0].msg->GetUINT(elementid::InvokeID));
    EXPECT_EQ(failurecode::Of("CF_INVALID_CSTA_CALL_IDENTIFIER"), got[0].msg->GetUSHORT(elementid::FailureCode));
    EXPECT_EQ(1u, got[0].msg->GetUINT(elementid::PeripheralErrorCode));
}

// OPC's entries for a device the model does not track: on a flagged peripheral of type 30 a
// session below version 14, or one that asked for it, does not see the dotted entries; the
// rest go at consecutive indexes with their states and, on that peripheral only, their
// silent-monitor status.
TEST_F(SnapshotTest, DottedEntriesAreHiddenOnAFlaggedBrantlePeripheral) {
    const DeviceSnapshot snapshot{{{981, "4800", 3, 1}, {982, "4800.2", 4, 0}, {983, "4800", 1, 2}}};
    struct Case {
        const char* what;
        int32_t peripheralID;
        int16_t type;
        int32_t flag;
        uint32_t services, version;
        std::vector<uint32_t> calls, statuses;
    } cases[] = {
        {"version 13", kPeriph, 30, 1, 0, 13, {981, 983}, {1, 2}},
        {"asked to hide", kPeriph, 30, 1, servicemask::HIDE_DOTTED_DEVICES, 24, {981, 983}, {1, 2}},
        {"version 24", kPeriph, 30, 1, 0, 24, {981, 982, 983}, {1, 0, 2}},
        {"flag clear", kPeriph, 30, 0, 0, 13, {981, 982, 983}, {1, 0, 2}},
        {"another type", kPeriph + 1, 48, 1, 0, 13, {981, 982, 983}, {0, 0, 0}},
    };
    uint32_t n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Peripheral(c.peripheralID, c.type, c.flag);
        Client client(Port());
        const std::string id = "dev" + std::to_string(++n);
        ASSERT_TRUE(OpenAt(client, servicemask::ALL_EVENTS | c.services, id.c_str(), c.version));
        OPCReq* record = Record(SessionOf(id), 40 + n);
        record->PeripheralID = static_cast<uint32_t>(c.peripheralID);
        record->Instrument = "4800";
        SnapshotDeviceConf(record, snapshot);
        const std::vector<Received> got = UntilAt(client, Fence(), c.version);
        ASSERT_EQ(1u, got.size());
        ASSERT_EQ(SNAPSHOT_DEVICE_CONF, got[0].type);
        BaseMSG& conf = *got[0].msg;
        ASSERT_EQ(c.calls.size(), conf.GetUSHORT(elementid::NumCalls));
        for (uint32_t i = 0; i < c.calls.size(); ++i) {
            EXPECT_EQ(c.calls[i], conf.GetUINT(elementid::CallConnectionCallID, i)) << i;
            EXPECT_EQ(c.calls[i] == 982 ? 4u : c.calls[i] == 981 ? 3u : 1u, conf.GetUSHORT(elementid::CallState, i));
            if (c.version >= 14) {
                EXPECT_EQ(c.statuses[i], conf.GetUSHORT(elementid::SilentMonitorStatus, i)) << i;
            }
        }
    }
}

// Entries OPC states but does not send, and state lists outside the data, are not read: what
// lies inside goes out, a state that cannot be read as -1.
TEST_F(SnapshotTest, ALyingDeviceSnapshotIsReadOnlyWithinItsData) {
    Client client(Port());
    const int32_t session = OpenSession(client, servicemask::PERIPHERAL_MONITOR, "desk");
    ASSERT_GT(session, 0);
    struct Case {
        const char* what;
        DeviceSnapshot snapshot;
        std::vector<uint16_t> states;
    } cases[] = {
        {"five stated, two sent", {{{991, "4900", 3}, {992, "4900", 4}}, 5}, {3, 4}},
        {"state list far away", {{{993, "4900", 3, 0, 0xFFFFFFF0}}}, {0xFFFF}},
        {"state list past the end", {{{994, "4900", 3, 0, 84}}}, {0xFFFF}},
        {"negative count", {{{995, "4900", 3}}, -3}, {}},
    };
    uint32_t n = 0;
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        OPCReq* record = Record(session, 50 + ++n);
        record->PeripheralID = kPeriph;
        record->Instrument = "4900";
        Bytes raw = c.snapshot.Raw();
        if (std::string(c.what) == "state list past the end") raw.resize(84);  // the list is gone
        Confirm(CONF_TYPE(TPCSTASnapshotDeviceConfEventMsg), record, c.snapshot.Body(), {}, raw);
        const std::vector<Received> got = Until(client, Fence());
        ASSERT_EQ(1u, got.size());
        ASSERT_EQ(SNAPSHOT_DEVICE_CONF, got[0].type);
        ASSERT_EQ(c.states.size(), got[0].msg->GetUSHORT(elementid::NumCalls));
        for (uint32_t i = 0; i < c.states.size(); ++i)
            EXPECT_EQ(c.states[i], got[0].msg->GetUSHORT(elementid::CallState, i)) << i;
    }
}

// A tracked device: with VerifySnapshot on, a connection OPC did not report is freed before
// the device's own calls are sent; with it off the connection stays.
TEST_F(SnapshotTest, VerifySnapshotFreesWhatOPCDidNotReport) {
    Client client(Port());
    const int32_t session = OpenSession(client, servicemask::PERIPHERAL_MONITOR, "desk");
    ASSERT_GT(session, 0);
    CTICSTADevice* device = Device("4801");
    AgentAt("2001", "4801", 2001);
    Call* call = NewCall(970, {{"4801", 3}});
    for (uint32_t verify : {0u, 1u}) {
        SCOPED_TRACE(verify);
        SetDynamic(CTIRegistry::VerifySnapshot, verify);
        OPCReq* record = Record(session, 60 + verify);
        record->PeripheralID = kPeriph;
        record->Instrument = "4801";
        SnapshotDeviceConf(record, DeviceSnapshot{});
        const std::vector<Received> got = Until(client, Fence());
        ASSERT_EQ(1u, got.size());
        ASSERT_EQ(SNAPSHOT_DEVICE_CONF, got[0].type);
        EXPECT_EQ(verify ? 0u : 1u, got[0].msg->GetUSHORT(elementid::NumCalls));
        EXPECT_EQ(verify ? 0 : 1, device->GetNumConnections());
    }
    EXPECT_EQ(0, call->ConnectionList().Count());
}

// The query's lines: at most the ten the private data holds, a handle of 11 or more sent as
// 65535, a type of 12 or more as 3; the data structure only as far as OPC sent it.
TEST_F(SnapshotTest, AQueryConfirmationSendsTenCheckedLines) {
    Client client(Port());
    const int32_t session = OpenSession(client, kMonitorControl, "desk");
    ASSERT_GT(session, 0);
    auto privateData = [](uint32_t lines, uint32_t dataLength, const std::string& data) {
        Bytes pd;
        opctest::Add32(pd, 30);     // peripheral type
        opctest::Add32(pd, lines);
        // max active, held, in conference; agent-state mask, transfer setup, call messages,
        // call control, other features, peripheral specific
        for (uint32_t w : {1002u, 1003u, 1004u, 0x5u, 0x6u, 0x1007u, 0x1008u, 3u, 0u}) opctest::Add32(pd, w);
        for (uint32_t i = 0; i < 10; ++i) opctest::Add32(pd, i == 2 ? 11 : i);       // handles
        for (uint32_t i = 0; i < 10; ++i) opctest::Add32(pd, i == 3 ? 15 : i % 12);  // types
        opctest::Add32(pd, 2);      // data type
        opctest::Add32(pd, dataLength);
        pd.insert(pd.end(), data.begin(), data.end());
        return pd;
    };
    Bytes body;
    opctest::AddText(body, "4007", 64);
    opctest::Add32(body, 5);  // device type
    body.push_back(4);        // device class
    body.resize(72, 0);
    struct Case {
        const char* what;
        uint32_t lines, dataLength;
        std::string data;
        uint16_t sentLines;
        std::string sentData;
    } cases[] = {
        {"twelve lines", 12, 5, "abcde", 10, "abcde"},
        {"three lines", 3, 0, "", 3, ""},
        {"data longer than sent", 2, 800, "xyz", 2, std::string("xyz\0", 4)},
    };
    uint32_t n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OPCReq* record = Record(session, 20 + ++n);
        Confirm(CONF_TYPE(TPCSTAQueryDeviceInfoConfEventMsg), record, body,
                privateData(c.lines, c.dataLength, c.data));
        const std::vector<Received> got = Until(client, Fence());
        ASSERT_EQ(1u, got.size());
        ASSERT_EQ(QUERY_DEVICE_INFO_CONF, got[0].type);
        BaseMSG& conf = *got[0].msg;
        EXPECT_EQ(20 + n, conf.GetUINT(elementid::InvokeID));
        EXPECT_EQ(ConvertPeripheralType(30), conf.GetUSHORT(elementid::PeripheralType));
        EXPECT_EQ(5u, conf.GetUSHORT(elementid::TypeOfDevice));
        EXPECT_EQ(4u, conf.GetUSHORT(elementid::ClassOfDevice));
        EXPECT_EQ(1002u, conf.GetUSHORT(elementid::MaxActiveCalls));
        EXPECT_EQ(1004u, conf.GetUSHORT(elementid::MaxDevicesInConference));
        EXPECT_EQ(0x5u, conf.GetUINT(elementid::AgentStateMask));
        EXPECT_EQ(0x1007u, conf.GetUINT(elementid::CallMsgMask));
        EXPECT_EQ(3u, conf.GetUINT(elementid::OtherFeaturesSupported));
        EXPECT_EQ(2u, conf.GetUSHORT(elementid::QueryDeviceDataType));
        ASSERT_EQ(c.sentLines, conf.GetUSHORT(elementid::NumLines));
        for (uint32_t i = 0; i < c.sentLines; ++i) {
            EXPECT_EQ(i == 2 ? 65535u : i, conf.GetUSHORT(elementid::FltLineHandle, i)) << i;
            EXPECT_EQ(i == 3 ? 3u : i, conf.GetUSHORT(elementid::FltLineType, i)) << i;
        }
        int length = 0;
        const uint8_t* data = conf.GetUNSPEC(elementid::QueryDeviceData, length);
        EXPECT_EQ(c.sentData, data != nullptr ? std::string(reinterpret_cast<const char*>(data), length) : "");
    }
}

}  // namespace
}  // namespace calltest
