#include "peers/opc/opc_corpus.h"

#include <cstring>
#include <fstream>

#include "peers/opc/arm_wire.h"
#include "peers/opc/opc_wire.h"

namespace opcpeer {

std::vector<std::pair<std::string, std::vector<uint8_t>>> CorpusMessages() {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> out;
    auto addEvent = [&](const std::string& name, const CstaEvent& e) {
        std::vector<uint8_t> b;
        std::string error;
        if (WriteEvent(e, &b, &error)) out.emplace_back(name, std::move(b));
    };
    uint32_t callID = 1000;
    for (const RequestType& t : RequestTypes()) {
        CstaRequest r;
        r.peripheralID = r.headerPeripheralID = 5000;
        r.eventType = t.type;
        r.invokeID = 0x100 + t.type;
        r.clientInvokeID = 7;
        r.uniqueInstanceID = "desk1";
        r.connection = {42, "1001", 0};
        PutConnection(r.body, 0, {42, "1001", 0});
        PutConnection(r.body, 72, {43, "1002", 0});
        r.body.resize(kRequestBodySize, 0);
        addEvent("csta-conf-" + std::to_string(t.confirmation), BuildConfirmation(r, &callID));
        if (t.type == 23) {
            addEvent("csta-conf-53", BuildUniversalFailure(r, 12, 99));
        }
    }
    CstaEvent e;
    e.peripheralID = e.headerPeripheralID = 5000;
    e.callID = 42;
    e.strings[1] = "1001";
    e.eventClass = kClassUnsolicited;
    e.body.assign(4 + 72, 0);
    PutConnection(e.body, 4, {42, "1001", 0});
    for (uint16_t type : {57, 59, 54}) {
        e.eventType = type;
        addEvent("csta-event-4-" + std::to_string(type), e);
    }
    ServiceInitiatedPD si;
    si.coc = {41, "2001", 0};
    si.corrData = "corr";
    e.eventType = 66;
    e.opc = WriteServiceInitiatedPD(si);
    addEvent("csta-event-4-66", e);
    RecordingTargetInfoPD rti;
    for (size_t i = 0; i < rti.strings.size(); ++i) rti.strings[i] = "s" + std::to_string(i + 1);
    e.eventType = 208;
    e.opc = WriteRecordingTargetInfoPD(rti);
    addEvent("csta-event-4-208", e);
    e.eventClass = kClassEventReport;
    e.eventType = kPrivateEvent;
    e.opc.clear();
    PutLE32(e.opc, 0, 8);
    PutLE32(e.opc, 4, 0);
    addEvent("csta-event-6-93", e);

    for (const ArmLayout& l : ArmLayouts()) {
        if (l.role != ArmRole::kFromOpc && l.type != 110) continue;
        ArmMessage m = NewArmMessage(l);
        m.SetWord(l.invokeAt, 0x31);
        m.SetWord(l.clientAt, 7);
        m.SetWord(l.sessionAt, 12);
        if (l.uii) m.uniqueInstanceID = "desk1";
        for (size_t i = 0; i < m.texts.size(); ++i) m.texts[i] = "t" + std::to_string(i + 1);
        if (l.ecc) m.ecc.assign(8, 0x5A);
        if (l.list == ArmList::kTasks) m.list = {1, 2, 3};
        if (l.list == ArmList::kMembers) m.list = {5000, 5001, 1, 1};
        std::vector<uint8_t> b;
        std::string error;
        if (WriteArm(l, m, &b, &error)) out.emplace_back("arm-" + std::to_string(l.type), b);
    }
    return out;
}

bool WriteCorpus(const std::string& dir, std::string* error) {
    for (const auto& [name, bytes] : CorpusMessages()) {
        const std::string path = dir + "/" + name;
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(bytes.data()),
                static_cast<std::streamsize>(bytes.size()));
        if (!f) {
            *error = "cannot write " + path;
            return false;
        }
    }
    return true;
}

}  // namespace opcpeer
