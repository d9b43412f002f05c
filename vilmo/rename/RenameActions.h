// RenameActions: the rename flow's state machine behind its three screens: the actions they
// fire, the handlers that store the naming service's answers, renaming files on disk with
// collision suffixes, and revoking those renames. Every action and handler runs on the main
// thread and works on the root view's state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vilmo/rename/RenameResult.h"

class ContentView;

using RenameURLMap = std::map<std::filesystem::path, std::filesystem::path>;

// The file's name without its extension: "report.final.docx" gives "report.final", "notes"
// stays "notes", a hidden file such as ".profile" keeps its whole name.
std::string baseName(const std::filesystem::path& url);

// Whether a row still waits for its answer.
bool isPendingRow(const RenameResult& row);
bool anyRowPending(const std::vector<RenameResult>& rows);

// Whether the text is one of the two names a row shows while it has no proposal.
bool isPlaceholderName(const std::string& name);
// Whether the text can become a file's name: not empty, ".", "..", and without "/" or NUL.
bool isValidFileName(const std::string& name);

// The drop screen's "Clear": empties both file lists; "drop_file_clear".
void clearDroppedFiles(const std::shared_ptr<ContentView>& view);
// Its "Next": "settings_start" with the file count, a "Pending..." row per file, the preview
// screen, Apply disabled, and one request per file in a new batch.
void startRename(const std::shared_ptr<ContentView>& view);

// The batch's per-file completion, on any thread: stores the row on the main queue, unless
// by then the view is gone or shows another batch.
void deliverBatchResult(const std::weak_ptr<ContentView>& view, std::uint64_t batch,
                        std::string oldName, std::string newName, std::filesystem::path url);
// Replaces the first row of the file with the answer's row.
void storeBatchResult(ContentView& view, std::uint64_t batch, RenameResult row);
// The batch's final completion: once every answer is stored, Apply is enabled unless a row
// still waits (for a retry).
void finishBatchRename(const std::weak_ptr<ContentView>& view, std::uint64_t batch);

// What a retried row's answer is checked against before it is stored: the batch shown when
// the retry was asked for, the row, and the file the row was for.
struct RowTicket {
  std::uint64_t batch = 0;
  std::size_t index = 0;
  std::filesystem::path url;
};

// The preview screen's per-row Retry: that row back to "Pending...", Apply disabled,
// "rename_retry", and a new request for its file. Nothing happens for a file without a row.
void retryRename(const std::shared_ptr<ContentView>& view, const RenameResult& row);
// The retry's completion, on any thread: stores the answer on the main queue.
void deliverRenameResult(std::optional<std::string> name, const std::weak_ptr<ContentView>& view,
                         RowTicket ticket);
// The row gets the name, or "Error renaming"; Apply is enabled once no row waits. An answer
// whose batch is no longer shown, whose row is gone or holds another file is dropped.
void storeRenameResult(ContentView& view, std::optional<std::string> name, const RowTicket& ticket);

// The preview screen's "Apply": "rename_preview_apply", every row renamed on disk, then (on
// the main queue) the finished screen with the map of moves and each row showing the name
// its file now has.
void applyRenamePreview(const std::shared_ptr<ContentView>& view);
void finishApplyRenames(ContentView& view, RenameURLMap map);
// The preview screen's "Go back": "rename_go_back" and the given step; rows and answers in
// flight stay as they are.
void renameGoBack(const std::shared_ptr<ContentView>& view, std::int64_t step);

// What the rows' new names are: names proposed or typed on the preview screen, where the
// placeholders mean that there is no name yet, or the names revoke gives back, taken from
// the files themselves.
enum class RenameNames { Proposed, Restored };

// Moves each row's file to its new name plus the file's extension, in the same folder. A
// taken name gets the first free of "_1", "_2", ... before the extension; nothing is ever
// replaced. A row already at its name, or whose name cannot be used, stays where it is and
// maps to itself; a failed move maps to nothing. Prints a line for every move and every
// failure, flushed once at the end. The completion gets the map of source to destination, on
// the calling thread.
void renameFiles(const std::vector<RenameResult>& rows, RenameNames names,
                 const std::function<void(RenameURLMap)>& completion);

// The rows that move every file of the batch back: from where Apply put it to its old base
// name, with the extension it has now.
std::vector<RenameResult> buildRevokeRows(const std::vector<RenameResult>& results,
                                          const RenameURLMap& urlMap);

// The finished screen's "Revoke All": "rename_finish_revoke_all" with the file count, every
// file moved back, then (main queue) the rows showing where their files are now.
void revokeAllAction(const std::shared_ptr<ContentView>& view);
void finishRevokeAll(ContentView& view, const RenameURLMap& map);
// A row's revoke: "rename_finish_revoke", that file moved back, then (main queue) its row and
// its map entry updated; a failed move removes the entry and leaves the row.
void revokeOneAction(const std::shared_ptr<ContentView>& view, const std::filesystem::path& url);
void finishRevokeOne(ContentView& view, const std::filesystem::path& url, const RenameURLMap& map,
                     const RenameResult& revokeRow, std::size_t index);

// The finished screen's "Start Over": "rename_finish_rename_again", then the reset.
void renameAgain(const std::shared_ptr<ContentView>& view);
// Empties the files, rows and maps and shows the drop screen; the refused types and the
// Apply flag stay.
void resetRenameFlow(ContentView& view);
