// The download step of a pass: every file the check found missing or different, fetched with
// retries on up to a given number of connections at once into its verified part.
#pragma once

#include <map>
#include <string>

#include "engine/pass_observer.h"
#include "game_folder/local_check.h"
#include "rebuild/rebuild_file.h"
#include "transfer/download.h"

// What the download needs of a list entry.
ListedFile listed_file(const UpdateEntry& entry);

// The block maps a list names, by the exact path bytes of the entry each describes.
using BlockMaps = std::map<std::string, MapReference>;

// The maps of `list`'s "M|" lines, the last line for a path counting.
BlockMaps block_maps_of(const UpdateList& list);

// Fetches every file of check.download_list, `connections` (1..8) at a time, each into its part,
// verified and flushed; no listed file is touched. A file of at least 1 MiB with a map in `maps`,
// whose old copy or a part of it is on the disk, is rebuilt from the blocks found there and the
// ranges fetched of the rest (its map fetched and its old copy searched once, whatever its
// attempts); if anything about that is not as it should be, it is fetched whole instead, once, in
// silence. While an old copy is searched, the detail line says so. A part already verified whole
// is verified again and kept without a request. With one connection the files go one after
// another in list order, each with its own speed on the detail line; with more, the detail line
// shows the bytes and the speed of all of them together. A file gets three attempts, a second
// apart, except after a full disk. The first file that fails for good stops new starts; the files
// in flight finish, and the status line shows that first failure. True when every file arrived.
bool download_files(const DownloadSource& source, const PassObserver& observer, const LocalCheck& check,
                    const BlockMaps& maps, int connections);
