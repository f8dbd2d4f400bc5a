// The per-application folder under the user's roaming application-data folder and the
// profile file in it. Worker thread only.
#ifndef MIRTO_PLATFORM_SAVE_PATH_H
#define MIRTO_PLATFORM_SAVE_PATH_H

#include <string>

namespace mirto {

// Creates "<AppData>\mirto\<application id>\mirto.ini" (folders and an empty file, leaving an
// existing file untouched) and stores its full path in the session's profile_path. False,
// with profile_path emptied, when a folder or the file cannot be made or the id is not a single
// folder name ("." or "..", or holding "\" or "/"); false with profile_path unchanged when the
// application-data folder itself cannot be found.
bool CreateSavePath(const std::wstring& application_id);

}  // namespace mirto

#endif  // MIRTO_PLATFORM_SAVE_PATH_H
