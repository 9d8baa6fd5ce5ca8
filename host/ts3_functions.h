#pragma once
// The voice client's table of host functions (plug-in interface, API version 20).
//
// The host passes this table by value to ts3plugin_setFunctionPointers. Its layout is
// the host's: 209 function pointers in a fixed order. The slots this plug-in calls
// carry their real names and types; every other slot is an opaque pointer of the same
// size that must never be called.
//
// The host's contract for the 22 slots called here, as this plug-in relies on it:
// - Thread: the plug-in calls them from its listener thread only, one call at a time; the
//   host serves calls from a thread other than its main thread.
// - Result: every slot but 183 and 191 returns an error code, 0 for success.
// - Out-parameters ("out:" below) are written only by a call that returns 0. A failed call
//   leaves them as they were passed, so the plug-in passes each one zeroed (null for a
//   pointer). Ints and IDs are plain values; nothing is given back for them.
// - Strings and arrays handed over through an out-parameter are host memory: the plug-in
//   owns each from the moment the call returns and gives it back exactly once through
//   freeMemory (slot 5), never through free or delete (host/host_memory.h holds them).
// - Strings passed in (messages, passwords, reasons, return codes) are read during the
//   call only; the host keeps no pointer to them. A return code may be null.
// Each slot's own part of the contract is written beside it below.

#include <cstddef>
#include <cstdint>

using uint64 = std::uint64_t;
using anyID = std::uint16_t;

extern "C" {

// An entry this plug-in never calls.
typedef void (*HostSlot)(void);

struct TS3Functions {
    HostSlot slot000;
    HostSlot slot001;
    HostSlot slot002;
    HostSlot slot003;
    HostSlot slot004;
    // 5: gives back a block the host handed over. Null is accepted and does nothing; a
    // pointer the host did not hand over, or one given back already, must never reach it.
    unsigned int (*freeMemory)(void* pointer);  // 5
    HostSlot slot006;
    HostSlot slot007;
    HostSlot slot008;
    HostSlot slot009;
    HostSlot slot010;
    HostSlot slot011;
    HostSlot slot012;
    HostSlot slot013;
    HostSlot slot014;
    HostSlot slot015;
    HostSlot slot016;
    HostSlot slot017;
    HostSlot slot018;
    HostSlot slot019;
    HostSlot slot020;
    HostSlot slot021;
    HostSlot slot022;
    HostSlot slot023;
    HostSlot slot024;
    HostSlot slot025;
    HostSlot slot026;
    HostSlot slot027;
    HostSlot slot028;
    HostSlot slot029;
    HostSlot slot030;
    HostSlot slot031;
    HostSlot slot032;
    HostSlot slot033;
    HostSlot slot034;
    HostSlot slot035;
    HostSlot slot036;
    HostSlot slot037;
    HostSlot slot038;
    HostSlot slot039;
    HostSlot slot040;
    HostSlot slot041;
    HostSlot slot042;
    HostSlot slot043;
    HostSlot slot044;
    HostSlot slot045;
    HostSlot slot046;
    // 47: asks to leave the server; the others see the quit message. The result is ignored.
    unsigned int (*stopConnection)(uint64 serverConnectionHandlerID, const char* quitMessage);  // 47
    // 48: asks to move a client to a channel, with the channel's password. The result is
    // ignored.
    unsigned int (*requestClientMove)(uint64 serverConnectionHandlerID, anyID clientID, uint64 newChannelID,
                                      const char* password, const char* returnCode);  // 48
    HostSlot slot049;
    // 50, 51: ask to kick a client from its channel or from the server. The results are
    // ignored.
    unsigned int (*requestClientKickFromChannel)(uint64 serverConnectionHandlerID, anyID clientID,
                                                 const char* kickReason, const char* returnCode);  // 50
    unsigned int (*requestClientKickFromServer)(uint64 serverConnectionHandlerID, anyID clientID,
                                                const char* kickReason, const char* returnCode);  // 51
    HostSlot slot052;
    HostSlot slot053;
    HostSlot slot054;
    HostSlot slot055;
    HostSlot slot056;
    HostSlot slot057;
    HostSlot slot058;
    HostSlot slot059;
    HostSlot slot060;
    HostSlot slot061;
    HostSlot slot062;
    HostSlot slot063;
    HostSlot slot064;
    HostSlot slot065;
    HostSlot slot066;
    HostSlot slot067;
    HostSlot slot068;
    HostSlot slot069;
    HostSlot slot070;
    HostSlot slot071;
    HostSlot slot072;
    // 73: out: the own client's ID on the connection, a plain value.
    unsigned int (*getClientID)(uint64 serverConnectionHandlerID, anyID* result);  // 73
    // 74: out: an int property of the own client, as this client knows it.
    unsigned int (*getClientSelfVariableAsInt)(uint64 serverConnectionHandlerID, std::size_t flag,
                                               int* result);  // 74
    HostSlot slot075;
    // 76: stages a new value of an own int property; it takes effect at the next flush.
    unsigned int (*setClientSelfVariableAsInt)(uint64 serverConnectionHandlerID, std::size_t flag,
                                               int value);  // 76
    HostSlot slot077;
    // 78: sends the staged own properties to the server. The result is ignored.
    unsigned int (*flushClientSelfUpdates)(uint64 serverConnectionHandlerID, const char* returnCode);  // 78
    // 79: out: an int property of any client in view.
    unsigned int (*getClientVariableAsInt)(uint64 serverConnectionHandlerID, anyID clientID, std::size_t flag,
                                           int* result);  // 79
    HostSlot slot080;
    // 81: out: a string property of a client, zero-terminated, in host memory.
    unsigned int (*getClientVariableAsString)(uint64 serverConnectionHandlerID, anyID clientID,
                                              std::size_t flag, char** result);  // 81
    // 82: out: the clients in view, an array of IDs ending with 0, in host memory.
    unsigned int (*getClientList)(uint64 serverConnectionHandlerID, anyID** result);  // 82
    // 83: out: the channel a client is in.
    unsigned int (*getChannelOfClient)(uint64 serverConnectionHandlerID, anyID clientID,
                                       uint64* result);  // 83
    // 84: out: an int property of a channel.
    unsigned int (*getChannelVariableAsInt)(uint64 serverConnectionHandlerID, uint64 channelID,
                                            std::size_t flag, int* result);  // 84
    HostSlot slot085;
    // 86: out: a string property of a channel, zero-terminated, in host memory.
    unsigned int (*getChannelVariableAsString)(uint64 serverConnectionHandlerID, uint64 channelID,
                                               std::size_t flag, char** result);  // 86
    HostSlot slot087;
    HostSlot slot088;
    HostSlot slot089;
    HostSlot slot090;
    HostSlot slot091;
    HostSlot slot092;
    // 93: out: the server's channels, an array of IDs ending with 0, in host memory.
    unsigned int (*getChannelList)(uint64 serverConnectionHandlerID, uint64** result);  // 93
    HostSlot slot094;
    // 95: out: the channel a channel is nested in, 0 at the top.
    unsigned int (*getParentChannelOfChannel)(uint64 serverConnectionHandlerID, uint64 channelID,
                                              uint64* result);  // 95
    HostSlot slot096;
    HostSlot slot097;
    HostSlot slot098;
    // 99: out: a string property of the server, zero-terminated, in host memory.
    unsigned int (*getServerVariableAsString)(uint64 serverConnectionHandlerID, std::size_t flag,
                                              char** result);  // 99
    HostSlot slot100;
    HostSlot slot101;
    HostSlot slot102;
    HostSlot slot103;
    HostSlot slot104;
    HostSlot slot105;
    HostSlot slot106;
    HostSlot slot107;
    HostSlot slot108;
    HostSlot slot109;
    HostSlot slot110;
    // 111: asks for talk power (1) or withdraws the request (0). The result is ignored.
    unsigned int (*requestIsTalker)(uint64 serverConnectionHandlerID, int isTalkerRequest,
                                    const char* isTalkerRequestMessage, const char* returnCode);  // 111
    HostSlot slot112;
    HostSlot slot113;
    HostSlot slot114;
    HostSlot slot115;
    HostSlot slot116;
    HostSlot slot117;
    HostSlot slot118;
    HostSlot slot119;
    HostSlot slot120;
    HostSlot slot121;
    HostSlot slot122;
    HostSlot slot123;
    HostSlot slot124;
    HostSlot slot125;
    HostSlot slot126;
    HostSlot slot127;
    HostSlot slot128;
    HostSlot slot129;
    HostSlot slot130;
    HostSlot slot131;
    HostSlot slot132;
    HostSlot slot133;
    HostSlot slot134;
    HostSlot slot135;
    HostSlot slot136;
    // 137: asks to ban a client for a number of seconds. The result is ignored.
    unsigned int (*banclient)(uint64 serverConnectionHandlerID, anyID clientID, uint64 timeInSeconds,
                              const char* banReason, const char* returnCode);  // 137
    HostSlot slot138;
    HostSlot slot139;
    HostSlot slot140;
    HostSlot slot141;
    HostSlot slot142;
    HostSlot slot143;
    HostSlot slot144;
    HostSlot slot145;
    HostSlot slot146;
    HostSlot slot147;
    HostSlot slot148;
    HostSlot slot149;
    HostSlot slot150;
    HostSlot slot151;
    HostSlot slot152;
    HostSlot slot153;
    HostSlot slot154;
    HostSlot slot155;
    HostSlot slot156;
    HostSlot slot157;
    HostSlot slot158;
    HostSlot slot159;
    HostSlot slot160;
    HostSlot slot161;
    HostSlot slot162;
    HostSlot slot163;
    HostSlot slot164;
    HostSlot slot165;
    HostSlot slot166;
    HostSlot slot167;
    HostSlot slot168;
    HostSlot slot169;
    HostSlot slot170;
    HostSlot slot171;
    HostSlot slot172;
    HostSlot slot173;
    HostSlot slot174;
    HostSlot slot175;
    HostSlot slot176;
    HostSlot slot177;
    HostSlot slot178;
    HostSlot slot179;
    HostSlot slot180;
    HostSlot slot181;
    HostSlot slot182;
    // 183: the connection in front; no error code, 0 when there is none.
    uint64 (*getCurrentServerConnectionHandlerID)(void);  // 183
    HostSlot slot184;
    HostSlot slot185;
    HostSlot slot186;
    HostSlot slot187;
    HostSlot slot188;
    HostSlot slot189;
    HostSlot slot190;
    // 191: writes a code that identifies a request's answer into the caller's buffer of
    // maxLen bytes (RETURN_CODE_SIZE), terminated. The plug-in ID may be null. No result.
    void (*createReturnCode)(const char* pluginID, char* returnCode, std::size_t maxLen);  // 191
    HostSlot slot192;
    HostSlot slot193;
    HostSlot slot194;
    HostSlot slot195;
    HostSlot slot196;
    HostSlot slot197;
    HostSlot slot198;
    HostSlot slot199;
    HostSlot slot200;
    HostSlot slot201;
    HostSlot slot202;
    HostSlot slot203;
    HostSlot slot204;
    HostSlot slot205;
    HostSlot slot206;
    HostSlot slot207;
    HostSlot slot208;
};

}  // extern "C"

inline constexpr std::size_t TS3_FUNCTION_COUNT = 209;

// The buffer a request passes to createReturnCode: a code of at most 127 bytes and its
// terminating zero.
inline constexpr std::size_t RETURN_CODE_SIZE = 128;

// The layout is fixed by the host: any drift here would call the wrong function.
static_assert(sizeof(TS3Functions) == TS3_FUNCTION_COUNT * sizeof(void*));
static_assert(offsetof(TS3Functions, freeMemory) == 5 * sizeof(void*));
static_assert(offsetof(TS3Functions, stopConnection) == 47 * sizeof(void*));
static_assert(offsetof(TS3Functions, requestClientMove) == 48 * sizeof(void*));
static_assert(offsetof(TS3Functions, requestClientKickFromChannel) == 50 * sizeof(void*));
static_assert(offsetof(TS3Functions, requestClientKickFromServer) == 51 * sizeof(void*));
static_assert(offsetof(TS3Functions, getClientID) == 73 * sizeof(void*));
static_assert(offsetof(TS3Functions, getClientSelfVariableAsInt) == 74 * sizeof(void*));
static_assert(offsetof(TS3Functions, setClientSelfVariableAsInt) == 76 * sizeof(void*));
static_assert(offsetof(TS3Functions, flushClientSelfUpdates) == 78 * sizeof(void*));
static_assert(offsetof(TS3Functions, getClientVariableAsInt) == 79 * sizeof(void*));
static_assert(offsetof(TS3Functions, getClientVariableAsString) == 81 * sizeof(void*));
static_assert(offsetof(TS3Functions, getClientList) == 82 * sizeof(void*));
static_assert(offsetof(TS3Functions, getChannelOfClient) == 83 * sizeof(void*));
static_assert(offsetof(TS3Functions, getChannelVariableAsInt) == 84 * sizeof(void*));
static_assert(offsetof(TS3Functions, getChannelVariableAsString) == 86 * sizeof(void*));
static_assert(offsetof(TS3Functions, getChannelList) == 93 * sizeof(void*));
static_assert(offsetof(TS3Functions, getParentChannelOfChannel) == 95 * sizeof(void*));
static_assert(offsetof(TS3Functions, getServerVariableAsString) == 99 * sizeof(void*));
static_assert(offsetof(TS3Functions, requestIsTalker) == 111 * sizeof(void*));
static_assert(offsetof(TS3Functions, banclient) == 137 * sizeof(void*));
static_assert(offsetof(TS3Functions, getCurrentServerConnectionHandlerID) == 183 * sizeof(void*));
static_assert(offsetof(TS3Functions, createReturnCode) == 191 * sizeof(void*));
