#pragma once
// Application-path messages (98 to 100, 102, 105), the path's member list and the ARM
// record of a client session. The list and the record are counted (opcmsg/sxptr.h): their
// counts are plain integers, so every holder must run on the application thread.
#include <string>

#include "opcmsg/armmsg.h"
#include "opcmsg/sxptr.h"

// The members of an application path: pairs of media routing domain and peripheral.
class AppPathMemberList : public sx::_ptr {
public:
    int32_t Count = 0;
    sx::Arr<long, 0> MRDIDs;
    sx::Arr<long, 0> PeripheralIDs;  // entry i belongs with MRDIDs entry i

    // Reads {u32 N, N MRDIDs, N PeripheralIDs} from `length` bytes. Returns false and
    // changes nothing when N pairs do not fit in them.
    [[nodiscard]] bool ReadFrom(const uint8_t* data, size_t length);
    // "appPathMember count = N", then " MRDID/PeripheralID = (m/p,...)" when N > 0.
    std::string ToString();
    // True when some index holds this MRDID and this PeripheralID together.
    bool Contains(int32_t mrdid, int32_t peripheralID);
};
using AppPathMemberListPtr = sx::Ptr<AppPathMemberList>;

// The ARM record of a client session: the path's up status, its id and its members.
class ARMClientInfo : public sx::_ptr {
public:
    // Takes its own reference to the list.
    ARMClientInfo(int32_t status, int32_t applicationPathID, const AppPathMemberListPtr& memberList)
        : Status(status), ApplicationPathID(applicationPathID), AppPathMemberList(memberList) {}
    // A new reference to the list (shared, not copied).
    AppPathMemberListPtr GetAppPathMemberList() const { return AppPathMemberList; }

    int32_t Status;
    int32_t ApplicationPathID;
    AppPathMemberListPtr AppPathMemberList;
};
using ARMClientInfoPtr = sx::Ptr<ARMClientInfo>;

class ARMAppPathUpReqMsg final : public ARMMsgCommon {
public:
    ARMAppPathUpReqMsg() : ARMMsgCommon(ARM_APP_PATH_UP_REQ) {}
    ARM_I32(InvokeID, 0)
    ARM_I32(ApplicationPathID, 4)
    ARM_I32(SessionID, 8)
    ARM_U8(Side, 12)  // 1 for side A; three zero padding bytes follow
};

// The up response: fixed part, then the member list with its own count at its head.
// Copies share the list.
class ARMAppPathUpRespMsg final : public ARMMsgCommon {
public:
    // An empty list.
    ARMAppPathUpRespMsg();
    // Reads `length` received bytes; a member count that does not fit them is refused
    // (IsValid false, an empty list).
    ARMAppPathUpRespMsg(const uint8_t* body, size_t length);

    uint32_t GetLength() const override;
    [[nodiscard]] uint8_t* Serialize(uint8_t* out, size_t room) const override;
    std::string ToString() const override;

    ARM_I32(InvokeID, 0)
    ARM_I32(Status, 4)
    ARM_I32(ApplicationPathID, 8)
    ARM_I32(SessionID, 12)
    ARM_U8(Side, 16)
    int32_t GetAppPathMemberCount() const { return m_Members->Count; }
    // Grows both member arrays to hold n members; the count is unchanged.
    void ReserveAppPathMembers(int32_t n);
    // Stores the pair at index count, then counts it.
    void AddAppPathMember(int32_t mrdid, int32_t peripheralID);
    // A new reference to the message's list.
    AppPathMemberListPtr GetAppPathMemberList() const { return m_Members; }

private:
    AppPathMemberListPtr m_Members;
};

class ARMAppPathDownIndMsg final : public ARMMsgCommon {
public:
    ARMAppPathDownIndMsg() : ARMMsgCommon(ARM_APP_PATH_DOWN_IND) {}
    ARM_I32(ApplicationPathID, 0)
    ARM_I32(SessionID, 4)
    ARM_U8(Side, 8)  // 1 for side A; three zero padding bytes follow
};

class ARMSetAppPathDataIndMsg final : public ARMMsgCommon {
public:
    ARMSetAppPathDataIndMsg() : ARMMsgCommon(ARM_SET_APP_PATH_DATA_IND) {}
    ARM_I32(InvokeID, 0)
    ARM_I32(SessionID, 4)
    ARM_I32(ApplicationPathID, 8)
    ARM_TEXT(ApplicationText1, 0)
    ARM_TEXT(ApplicationText2, 1)
    ARM_TEXT(ApplicationText3, 2)
    ARM_TEXT(ApplicationText4, 3)
    ARM_TEXT(ApplicationText5, 4)
    ARM_TEXT(ApplicationText6, 5)
    ARM_TEXT(ApplicationText7, 6)
    ARM_TEXT(ApplicationText8, 7)
    ARM_TEXT(ApplicationText9, 8)
    ARM_TEXT(ApplicationText10, 9)
    ARM_I32(ClientInvokeID, 12)
    ARM_UII
};

class ARMAppPathRemovedEventMsg final : public ARMMsgCommon {
public:
    ARMAppPathRemovedEventMsg() : ARMMsgCommon(ARM_APP_PATH_REMOVED_EVENT) {}
    ARMAppPathRemovedEventMsg(const uint8_t* body, size_t length)
        : ARMMsgCommon(ARM_APP_PATH_REMOVED_EVENT, body, length) {}
    ARM_I32(ApplicationPathID, 0)
};
