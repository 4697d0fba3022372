#include "parlo/model/instrument.h"

#include <cstring>

#include "parlo/model/modelutil.h"

namespace {
bool IsNoneText(const char* text) {
    return text == nullptr || text[0] == '\0' || strcmp(text, "-1") == 0;
}
}  // namespace

Line::Line(const std::string& extension, int32_t lineNumber)
    : m_Extension(extension), m_LineNumber(lineNumber) {}

void Line::SetState(int32_t state, int32_t callID, int32_t deviceIDType, const char* deviceID,
                    int32_t skillGroup) {
    if (deviceID == nullptr) deviceID = "";
    if (state == m_LineState && callID == m_CallID && deviceIDType == m_DeviceIDType &&
        skillGroup == m_SkillGroup && m_DeviceID == deviceID)
        return;
    m_LineState = state;
    m_CallID = callID;
    m_DeviceIDType = deviceIDType;
    m_DeviceID = deviceID;
    m_SkillGroup = skillGroup;
    m_StateTime = static_cast<uint32_t>(model::NowSeconds());
}

void Line::Clear() { SetState(3, -1, -1, "", -1); }

Instrument::Instrument(const char* number, int32_t instrumentType)
    : m_InstrumentNumber(IsNoneText(number) ? "" : number), m_InstrumentType(instrumentType) {
    const std::string extension = m_InstrumentNumber.empty() ? "-1" : m_InstrumentNumber;
    for (int i = 0; i < kNumLines; ++i) {
        Line& l = m_Lines[static_cast<size_t>(i)];
        l.m_Extension = extension;
        l.m_LineNumber = i;
    }
}

Line* Instrument::GetLine(int index) {
    if (index < 0 || index >= kNumLines) return nullptr;
    return &m_Lines[static_cast<size_t>(index)];
}

void Instrument::SetLineType(int index, int32_t lineType) {
    if (Line* l = GetLine(index)) l->m_LineType = lineType;
}

void Instrument::SetLineState(int index, int32_t state, int32_t callID, int32_t deviceIDType,
                              const char* deviceID, int32_t skillGroup) {
    if (Line* l = GetLine(index)) l->SetState(state, callID, deviceIDType, deviceID, skillGroup);
}

Line* Instrument::FindLineByCallID(int32_t callID) {
    for (Line& l : m_Lines)
        if (l.m_CallID == callID) return &l;
    return nullptr;
}

Line* Instrument::FindLineByCallIDAndNumber(int32_t callID, int32_t lineNumber) {
    for (Line& l : m_Lines)
        if (l.m_CallID == callID && l.m_LineNumber == lineNumber) return &l;
    return nullptr;
}

void Instrument::ClearLine(Line* line) {
    for (const Line& l : m_Lines)
        if (&l == line) {
            line->Clear();
            return;
        }
}
