// The per-application folder under the user's roaming application-data folder and the
// profile file in it. Worker thread only.
#ifndef MIRTO_PLATFORM_SAVE_PATH_H
#define MIRTO_PLATFORM_SAVE_PATH_H

#include <optional>
#include <string>

namespace mirto {

// Creates "<AppData>\mirto\<application id>\mirto.ini" (folders and an empty file, leaving an
// existing file untouched) and returns its full path. Nothing when the application-data
// folder cannot be found, a folder or the file cannot be made, or the id is not a single
// folder name ("." or "..", or holding "\" or "/").
std::optional<std::wstring> CreateSavePath(const std::wstring& application_id);

// The same path, found without creating anything (the file may not exist). Nothing when the
// application-data folder cannot be found or the id is not a single folder name.
std::optional<std::wstring> FindSavePath(const std::wstring& application_id);

// Whether the id can name the application's folder (a single folder name).
bool IsApplicationFolderName(const std::wstring& application_id);

}  // namespace mirto

#endif  // MIRTO_PLATFORM_SAVE_PATH_H
