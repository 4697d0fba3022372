#pragma once
// Instrument and Line: an agent's telephone set with its eleven lines (0..10). A line keeps
// the call OPC last reported on it. Instruments are owned by their agent and reached only
// through it; no table indexes them. No locks of their own: the agent's rules apply (read and
// change them under the server lock).
#include <array>
#include <cstdint>
#include <string>

// The three-word state block every instrument and line carries; zeroed, never read.
struct PerfObjectState {
    uint32_t words[3] = {0, 0, 0};
};

class PerfObject {
protected:
    PerfObject() = default;
    PerfObjectState m_PerfObjectState{};
};

class Line : public PerfObject {
public:
    // A new idle line of an instrument: extension = the instrument number, or "-1" for none.
    Line(const std::string& extension, int32_t lineNumber);
    Line() = default;
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // Stores the five values; stamps m_StateTime (seconds) only when one of them changes. The
    // state and its time change only here.
    void SetState(int32_t state, int32_t callID, int32_t deviceIDType, const char* deviceID,
                  int32_t skillGroup);
    // Idle without call: SetState(3, -1, -1, "", -1); the line type stays.
    void Clear();

    std::string m_Extension;
    int32_t m_LineType = 3;
    int32_t m_LineNumber = 0;
    int32_t m_LineState = 5;
    uint32_t m_StateTime = 0;
    int32_t m_CallID = -1;
    int32_t m_DeviceIDType = -1;
    std::string m_DeviceID;
    int32_t m_SkillGroup = -1;
};

class Instrument : public PerfObject {
public:
    static constexpr int kNumLines = 11;

    // number: none, "" or "-1" give an empty instrument number. Creates the 11 lines.
    Instrument(const char* number, int32_t instrumentType);
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;

    std::string GetInstrumentNumber() const { return m_InstrumentNumber; }
    const std::string& InstrumentNumber() const { return m_InstrumentNumber; }
    // Line index for 0..10, else null; the line stays the instrument's.
    Line* GetLine(int index);
    const Line* GetLine(int index) const { return const_cast<Instrument*>(this)->GetLine(index); }
    // Out-of-range indexes are ignored.
    void SetLineType(int index, int32_t lineType);
    void SetLineState(int index, int32_t state, int32_t callID, int32_t deviceIDType,
                      const char* deviceID, int32_t skillGroup);
    // The lowest-index line carrying the call (and that line number), or null.
    Line* FindLineByCallID(int32_t callID);
    Line* FindLineByCallIDAndNumber(int32_t callID, int32_t lineNumber);
    const Line* FindLineByCallID(int32_t callID) const {
        return const_cast<Instrument*>(this)->FindLineByCallID(callID);
    }
    // Clears the line when it is one of this instrument's; ignores any other.
    void ClearLine(Line* line);

    std::string m_InstrumentNumber;
    int32_t m_InstrumentType;
    // The 11 lines live inside the instrument (one allocation for all of them).
    std::array<Line, kNumLines> m_Lines;
};
