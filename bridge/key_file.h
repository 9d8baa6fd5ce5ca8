#pragma once
// The key the voice client handed out when the user allowed the bridge: kept in one file of
// the user's, read at each connection, replaced at once whenever the client hands out another.

#include <string>

namespace bridge {

// The key file's default place: %APPDATA%\Kestro G19\remote-apps.key on Windows, else
// $XDG_CONFIG_HOME/kestro-g19/remote-apps.key or ~/.config/kestro-g19/remote-apps.key.
std::string defaultKeyFile();

// The stored key, "" when there is none or the file cannot be read.
std::string readKey(const std::string& path);

// Replaces the stored key; false, with `error` set, when it cannot.
bool storeKey(const std::string& path, const std::string& key, std::string& error);

// Forgets the stored key: the client no longer takes it.
bool forgetKey(const std::string& path);

}  // namespace bridge
