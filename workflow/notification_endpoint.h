// The notification endpoint: joins the notification centres of the user-interface process and its
// elevated worker over loopback HTTP, one long-lived chunked response per direction carrying one
// RC4-enciphered JSON record per notification.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

struct Dictionary;
struct MemoryStream;
struct NotificationEndPoint;
struct NotificationEndPointRecordReader;
struct RC4;
struct WebServer;

enum : uint32_t {
    NOTIFICATIONENDPOINT_CLASS_ID = 0xd287e47f,
    NOTIFICATIONENDPOINT_SERVED_CLASS_ID = 0x3ca4db9d,
    NOTIFICATIONENDPOINT_REMOTE_CLASS_ID = 0xa36b0c1e,
    NOTIFICATIONENDPOINT_PEER_CLASS_ID = 0xd87d0e8,
    NOTIFICATIONENDPOINT_READER_CLASS_ID = 0x6e3d52a1,
};

// Letters and digits 1 to 9; the token is also the RC4 key of the link it opens.
constexpr int32_t kNotificationEndPointTokenLength = 11;
// A record's JSON text longer than this ends the link: no notification comes near it.
constexpr uint32_t kNotificationEndPointMaxRecord = 1u << 20;
// Record bytes waiting for a peer beyond this end its link: a peer that stops reading must not
// make this process hold every later notification.
constexpr uint64_t kNotificationEndPointMaxOutput = 4u << 20;
// Interval of the keep-alive record, well inside the client's 45 second timeout.
constexpr int32_t kNotificationEndPointKeepAliveMs = 8000;

// Answers whether this process runs elevated; installed by the engine context. Without a hook the
// process counts as not elevated.
typedef int64_t (*NotificationEndPointIsElevatedFunc)();
int64_t NotificationEndPoint_SetIsElevatedHook(NotificationEndPointIsElevatedFunc fn);

// ---- Life cycle ------------------------------------------------------------------------------
int64_t NotificationEndPoint_Create(NotificationEndPoint** handle);
int64_t NotificationEndPoint_AddRef(NotificationEndPoint* endpoint);
int64_t NotificationEndPoint_Release(NotificationEndPoint** handle);
int64_t NotificationEndPoint_Delete(NotificationEndPoint** handle);
int64_t NotificationEndPoint_GetInstanceId(NotificationEndPoint* endpoint, char* buffer, int32_t size);

int64_t NotificationEndPoint_Start(NotificationEndPoint* endpoint);
int64_t NotificationEndPoint_Stop(NotificationEndPoint* endpoint);
int64_t NotificationEndPoint_IsRunning(NotificationEndPoint* endpoint);
int64_t NotificationEndPoint_IsConnected(NotificationEndPoint* endpoint);
int64_t NotificationEndPoint_GetIsElevated(NotificationEndPoint* endpoint, uint32_t* flag);

// "http://127.0.0.1:<port>/" and, with withToken 1, a new pending token after it. The form
// without a token is what may stand on a command line; the token goes to the peer another way.
int64_t NotificationEndPoint_GetWebServerURL(NotificationEndPoint* endpoint, uint32_t withToken, char* buffer,
                                             int32_t capacity);
int64_t NotificationEndPoint_RemoveWebServerURL(NotificationEndPoint* endpoint, const char* url);

int64_t NotificationEndPoint_AddEndPoint(NotificationEndPoint* endpoint, const char* url);
int64_t NotificationEndPoint_RemoveEndPoint(NotificationEndPoint* endpoint, const char* url);
int64_t NotificationEndPoint_HasRemoteEndPoint(NotificationEndPoint* endpoint);
int64_t NotificationEndPoint_Process(NotificationEndPoint* endpoint);
int64_t NotificationEndPoint_Reset(NotificationEndPoint* endpoint);
int64_t NotificationEndPoint_GetWebServerHandle(NotificationEndPoint* endpoint, WebServer** server);
int64_t NotificationEndPoint_TrackEndPoint(NotificationEndPoint* endpoint, const char* peerId, uint32_t incoming,
                                           uint32_t up);

// Whether a record of (type, name) may be re-fired by a receiver in an elevated process or not.
int64_t NotificationEndPoint_IsAllowed(uint32_t elevated, const char* type, const char* name);

// ---- Records ---------------------------------------------------------------------------------
// Appends one framed record: its JSON length as "%x\r\n", the JSON enciphered with the running
// keystream, "\r\n". info may be null; its "canLocal" member is left out.
int64_t NotificationEndPoint_WriteRecord(RC4* cipher, Dictionary* record, uint32_t number, const char* type,
                                         const char* name, const char* sender, Dictionary* info,
                                         MemoryStream* out);

// (user, record object) for each complete record; 0 ends the link.
typedef int64_t (*NotificationEndPointRecordFunc)(void* user, Dictionary* record);
int64_t NotificationEndPointRecordReader_Create(NotificationEndPointRecordReader** handle, const void* key,
                                                uint32_t keyLength);
int64_t NotificationEndPointRecordReader_Delete(NotificationEndPointRecordReader** handle);
// Deciphers the de-chunked body bytes and hands over each complete record. 0 when the bytes are
// not a sequence of JSON objects (or a record is too long, or the callback answers 0): the link
// is to end and the reader accepts nothing more.
int64_t NotificationEndPointRecordReader_Feed(NotificationEndPointRecordReader* reader, const uint8_t* bytes,
                                              uint32_t length, void* user, NotificationEndPointRecordFunc fn);

// ---- Reporting -------------------------------------------------------------------------------
int64_t NotificationEndPoint_VPrint(NotificationEndPoint* endpoint, int32_t indent, const char* format,
                                    va_list args);
int64_t NotificationEndPoint_Print(NotificationEndPoint* endpoint, const char* format, ...);
int64_t NotificationEndPoint_PrintTabbed(NotificationEndPoint* endpoint, int32_t indent, const char* format, ...);
int64_t NotificationEndPoint_VerboseLog(NotificationEndPoint* endpoint, int32_t level, const char* format, ...);
int64_t NotificationEndPoint_IsVerboseLevel(NotificationEndPoint* endpoint, int32_t level);
int64_t NotificationEndPoint_SetPrintCallback(NotificationEndPoint* endpoint, void* user,
                                              ClassPrintCallback callback);
int64_t NotificationEndPoint_GetPrintCallback(NotificationEndPoint* endpoint, void** user,
                                              ClassPrintCallback* callback);
int64_t NotificationEndPoint_SetPrintIdentifier(NotificationEndPoint* endpoint, const char* text);
int64_t NotificationEndPoint_SetVerbose(NotificationEndPoint* endpoint, uint32_t verbose);
int64_t NotificationEndPoint_GetVerbose(NotificationEndPoint* endpoint, uint32_t* verbose);
int64_t NotificationEndPoint_PrintInternal(void* user, const char* format, ...);
