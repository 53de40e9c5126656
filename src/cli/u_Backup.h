#pragma once
// The old book kept beside the new one as "cp --backup" keeps a file it replaces: "book.exe~",
// replaced by the next backup, or "book.exe.~1~", "book.exe.~2~"... each kept.

#include <string>

enum class TBackupKind { None, Simple, Numbered };

// The kind --backup's value names: "" or "simple", "numbered"; raises EUsageError otherwise.
TBackupKind BackupKindOf(const std::string& value);

// Keeps the file at path under its backup name before it is replaced, the folder synced so the
// backup is on the disk: the file itself under a second name (its bytes, mode and owner as
// they are), or where the file system links no files, a copy with its mode (and owner where
// the system allows). Nothing when there is no file at path. Returns the backup's path.
std::string BackUpFile(const std::string& path, TBackupKind kind);
