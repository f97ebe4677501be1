#pragma once

// The chat client's online status, as the host and the client exchange it (an int inside
// messages).
enum KK_Status {
    KK_Status_Offline = 0,
    KK_Status_Online = 1,
    KK_Status_Busy = 2,
    KK_Status_Away = 3,
    KK_Status_Hidden = 4,
    KK_Status_DoNotDisturb = 5,
    // No status chosen by the user for this start: the client keeps the one it remembers, and a
    // request that opens a window does not count as a status change.
    KK_Status_Unset = 6,
};

// The kind of chat partner a chat window is opened with (an int inside messages).
enum KK_UserType {
    KK_UserType_Customer = 0,
    KK_UserType_Merchant = 1,
    KK_UserType_Service = 2,
};
