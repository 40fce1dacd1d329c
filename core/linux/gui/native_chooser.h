// Modal file choosers: one existing file, a file name to save under, and a directory (created
// for the choice when missing, and removed again when the user goes elsewhere). Main thread
// only; without a display they answer as cancelled.
#pragma once

#include <cstdint>

// The directory buffer (ending in '/') and the name buffer come in as the start and go out as
// the choice; on cancel both keep what the caller passed. The title may hold HTML entities.
// A choice that does not fit the buffers is refused: a cut path would name another file. A save
// names a new name or a regular file, never a link (a dangling one included).
int64_t NativeChooser_GetLoadFilename(void* parent, const char* title, char* directory, int32_t directorySize,
                                      char* name, int32_t nameSize);
int64_t NativeChooser_GetSaveFilename(void* parent, const char* title, char* directory, int32_t directorySize,
                                      char* name, int32_t nameSize);
// The chosen directory with a trailing '/'. A missing start path is created first; when the
// choice leaves it, the topmost directory created is removed again if it is still empty.
int64_t NativeChooser_GetNewDirectory(void* parent, const char* title, char* path, int32_t pathSize,
                                      const char* start);
