#pragma once
// AppDispatch: the application's two dispatch tables (their rows are dispatchtables.def) and
// the dispatch of one client frame and of one OPC message through them, with the handlers
// that belong to the dispatch itself: the shared default answers, the session layer's failure
// notice, the configuration intake and the PG status. Application thread, except
// ProcessOPCMessage, which also runs on the OPC reader while the application is not in
// service.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

class BaseMSG;
class CTIApplication;

class AppDispatch {
public:
    // A client handler owns `msg` and deletes it; `received` is the FILETIME of its arrival.
    using ClientHandler = void (CTIApplication::*)(int32_t sessionID, std::unique_ptr<BaseMSG> msg,
                                                   uint64_t received);
    // An OPC handler reads `length` bytes at `data` (the body, or the whole data with the
    // ServerNumber word for the rows that ask for it) and never past them.
    using OPCHandler = void (CTIApplication::*)(const uint8_t* data, size_t length);
    // Built: the row's handler runs; Later: the row's request is not served yet and the shared
    // default answer runs for it; Ignored: the message is consumed as it is.
    enum class RowState : uint8_t { Built, Later, Ignored };
    struct ClientRow {
        int32_t type;
        const char* typeName;
        const char* handler;  // the handler's name, "CTIApplication::..."
        RowState state;
        ClientHandler function;
    };
    struct OPCRow {
        int32_t type;
        const char* typeName;
        const char* handler;
        RowState state;
        bool wholeData;       // the handler gets the ServerNumber word too
        OPCHandler function;  // null for Ignored
    };
    // What ProcessSessionMessage did with the session input queue's head.
    enum class SessionInput : uint8_t {
        None,        // the queue was empty
        Dispatched,  // its row's handler ran
        Refused,     // dropped (bad version, no decoded message) or answered with FAILURE_EVENT 17
                     // (refused during failover; a type outside the table, the session failed)
    };

    // `app` owns the handlers the rows name; it owns this dispatch and outlives it.
    explicit AppDispatch(CTIApplication& app) : app_(app) {}
    AppDispatch(const AppDispatch&) = delete;
    AppDispatch& operator=(const AppDispatch&) = delete;

    // The rows in table order, and the row of one type (null outside the table). Static
    // data: any thread.
    static std::span<const ClientRow> ClientRows();
    static std::span<const OPCRow> OPCRows();
    static const ClientRow* FindClientRow(int32_t type);
    static const OPCRow* FindOPCRow(int32_t type);
    // Client messages other than CLOSE_REQ are refused while a no-client failover is reported
    // and NICStatusBasedFailover is set.
    static bool RefusedByFailover(bool nicStatusBasedFailover, int failoverReported, int32_t type);

    // Takes one client frame off the session input queue and dispatches the message the
    // session layer decoded it into; the frame is gone afterwards.
    [[nodiscard]] SessionInput ProcessSessionMessage();
    // Dispatches one OPC message of `length` bytes at `data` (ServerNumber word, then the
    // body); `data` stays the caller's. An unknown type ends the process (exit 100002): the
    // OPC sends only the table's types.
    void ProcessOPCMessage(int type, int length, const uint8_t* data);

    // ---- the dispatch's own handlers ----
    // The default answer of every client row not served yet: FAILURE_CONF 17
    // (E_CTI_UNSPECIFIED_FAILURE) to a request with an InvokeID, the session kept.
    void ProcessLaterClientMessage(int32_t sessionID, std::unique_ptr<BaseMSG> msg, uint64_t received);
    // SESSION_FAILED_MSG: the session layer fails the session with the message's Status.
    void ProcessSessionFailedMsg(int32_t sessionID, std::unique_ptr<BaseMSG> msg, uint64_t received);
    // The default of every OPC row not served yet: traced and dropped.
    void ProcessLaterOPCMessage(const uint8_t* data, size_t length);
    // CTI_CONFIGURE_REQ: to the server's configuration intake.
    void ProcessConfigMessage(const uint8_t* body, size_t length);
    // CTI_PG_STATUS_EVENT: stores the PG and peripheral status, reports it and, while the
    // server is ACTIVE or STANDBY, sends SYSTEM_EVENT to every session. A malformed body is
    // traced and dropped.
    void ProcessPGStatusEvent(const uint8_t* body, size_t length);
    // SYSTEM_EVENT "PG offline" with `text` to every session while the server is active.
    void ProcessPGFailure(const char* text);

private:
    CTIApplication& app_;
    int m_DispatchingOPCType = 0;  // for the default's trace
};
