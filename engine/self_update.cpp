// The launcher's own entry in a pass. Swapping the running executable is not built yet, so every
// attempt gives up: the entry is dropped from the downloads and the running executable is never
// downloaded over.
#include "engine/self_update.h"

static void give_up(LocalCheck& check)
{
    check.download_total -= check.download_list[size_t(check.self_index)].size;
    check.download_list.erase(check.download_list.begin() + check.self_index);
    check.self_index = -1;
}

bool replace_launcher(LocalCheck& check)
{
    give_up(check);
    return false;
}
