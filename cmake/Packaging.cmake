# CPack settings for the .deb package; filled in with the command-line tool.
