#pragma once
// CTIApplication: the application object as the server core sees it today: configuration,
// link status, the daily id reset and the server's forwarders (which do nothing yet).
#include <cstdint>
#include <string>

class CTIRegistry;

class CTIApplication {
public:
    CTIApplication() = default;
    virtual ~CTIApplication() = default;
    CTIApplication(const CTIApplication&) = delete;
    CTIApplication& operator=(const CTIApplication&) = delete;

    // Takes the configuration it needs; the registry outlives the application.
    void Configure(CTIRegistry* registry);
    // Appends the link status text of the server's status output.
    void GetCTILinkStatus(std::string& text);
    // The next session id and the next monitor id start again at 1.
    void ResetIDCounters();
    int32_t GetNextSessionID() const { return m_NextSessionID; }
    int32_t GetNextMonitorID() const { return m_NextMonitorID; }

    // The server's forwarders.
    void ProcessOPCInput(int type, int length, const uint8_t* data);
    void ProcessPGFailure(const char* text);
    void KillClient(int sessionID);
    void GetECCVariableClients(std::string& text);
    void GetTraceKeywords(std::string& text);
    void SendText(const char* text);
    void QueueApplicationMSG(int marker);
    // True while OPC input is held for maintenance.
    bool IsMaintenanceHold() const { return false; }

private:
    CTIRegistry* m_Registry = nullptr;
    int32_t m_NextSessionID = 1;
    int32_t m_NextMonitorID = 1;
};
