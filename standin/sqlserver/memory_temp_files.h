// The stand-in's #temp tables with their journal, and SQLite's transient
// tables and sort runs (UNION, DISTINCT, automatic indexes, sorting), are
// held in memory, as SQL Server keeps tempdb in its buffer pool: SQLite would
// otherwise write every page beyond its small cache of such a table to a file
// and read it back. Statement journals stay in files, which bounds the memory
// of a long statement that writes row by row.
#pragma once

namespace sqlserver_standin {

// The name of the file system (SQLite VFS) that does this, registered on first use.
const char* memory_temp_files_vfs();

}  // namespace sqlserver_standin
