// The operations of the request loop, one file each. Every operation writes
// its answer into ctx.reply; none throws.
#pragma once
#include "agent/service/request_context.h"

namespace hvm {

void CreateOperation(RequestContext& ctx);
void CloseOperation(RequestContext& ctx);
void CleanupOperation(RequestContext& ctx);
void TokenReplaceOperation(RequestContext& ctx);
void ReadOperation(RequestContext& ctx);
void WriteOperation(RequestContext& ctx);
void QueryInformationOperation(RequestContext& ctx);
void SetInformationOperation(RequestContext& ctx);
void DirectoryQueryOperation(RequestContext& ctx);
void DeviceControlOperation(RequestContext& ctx);
void ContentPushOperation(RequestContext& ctx);
void CopyRangeOperation(RequestContext& ctx);

// Shared steps.
// Changes reach files only: false after answering STATUS_INVALID_DEVICE_REQUEST
// for a directory or STATUS_ACCESS_DENIED for a read-only file.
bool IsWritableFile(RequestContext& ctx);
// The client's begin write when the file holds no lock yet; false after
// answering STATUS_ACCESS_DENIED with information 0.
bool BeginWriteIfUnlocked(RequestContext& ctx);
// The directory refresh: lists the folder through the client; on success
// stamps the refresh time and makes it the last listed folder.
NTSTATUS RefreshDirectory(Connection& connection, FileEntry& directory);
// A folder whose children came from the server a moment ago: the look-up,
// open and first query of one listing follow each other within
// milliseconds, and each would list it again.
bool ListedJustNow(const FileEntry& directory);
void StampListing(FileEntry& directory);
// Drops every pointer the Connection keeps to an entry that is about to go:
// listing positions, the last listed folder, children's parent links.
void ForgetEntry(Connection& connection, FileEntry& entry);
// The value close and cleanup report for the local copy: non-zero while one is held.
uint32_t LocalCopyIndicator(const FileEntry& entry);

}  // namespace hvm
