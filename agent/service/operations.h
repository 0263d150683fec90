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
// A folder's listing is kept for the site's refresh period ("Refresh"
// minutes, 5 when 0): the look-up, open and queries of one `ls`, and every
// `ls` after it within the period, take the cached children. It is due again
// when the period is over, when it was never made, or when a change made
// through the drive gave it up. now is the caller's clock.
bool ListingExpired(const Connection& connection, const FileEntry& directory, FileTime now);
void StampListing(FileEntry& directory);
// A change made through the drive in this folder (a name made, removed or
// renamed, contents or times written): the folder's next listing comes
// from the server, which may show more than the change itself.
void ListingChanged(FileEntry* directory);
// The same for the folder at path, when it is cached.
void ListingChangedAt(Connection& connection, std::u16string_view directoryPath);
// Every folder of the Connection is listed again at its next query: a
// refresh asked for by the person, or a command that changed the server
// in ways the cache does not follow (a folder copied, moved or deleted on
// the server, an offline synchronisation).
void ExpireAllListings(Connection& connection);
// Drops every pointer the Connection keeps to an entry that is about to go:
// listing positions, the last listed folder, children's parent links.
void ForgetEntry(Connection& connection, FileEntry& entry);
// Tells the person how an upload nobody waits for ended (status as the
// client's upload returned it), through the Connection's uploadEnded hook.
// A failure also goes to the log, so that it is never lost without a front end.
void ReportUploadEnd(Connection& connection, const FileEntry& entry, NTSTATUS status);
// The value close and cleanup report for the local copy: non-zero while one is held.
uint32_t LocalCopyIndicator(const FileEntry& entry);

}  // namespace hvm
