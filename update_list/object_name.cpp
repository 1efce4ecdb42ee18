// One file's bytes under a name that only its content decides.
//
// The name is made from the two things every list carries for every entry, signed or not: the
// MD5 and the size. A launcher forms it from the entry alone, so the list needs no extra field
// per file; identical files in one release or in many get the same name and are stored once;
// changed bytes always get a new name, so a name's bytes never change and any cache may keep
// them for ever. MD5 alone can be made to collide on purpose, but a collision only costs a failed
// fetch: every fetched file is still verified against its size, its MD5 and, in a signed list,
// its SHA-256. The size beside it makes an accidental clash of two files rarer still. There is no
// extension, so no server or CDN picks a content type that it then compresses or rewrites.
#include "update_list/object_name.h"

std::string object_name(const std::string& md5, uint64_t size)
{
    return md5 + "-" + std::to_string(size);
}

std::string object_location(const std::string& folder, const std::string& md5, uint64_t size)
{
    return folder + object_name(md5, size);
}
