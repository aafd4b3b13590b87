#pragma once

// Whether the file system under descriptor keeps an owner and a mode for each
// file. On FAT, exFAT, NTFS and FUSE volumes they come from the mount options
// instead, so they tell nothing about who may have written a file.
bool keepsOwnersAndModes(int descriptor);
