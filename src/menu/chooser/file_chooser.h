// The full-screen REQ file chooser.
#pragma once

// Runs the browser from the working directory; the chosen file's absolute path (valid until the
// next choice), or null when nothing was chosen.
char* GetFile(const char* pcPattern);
