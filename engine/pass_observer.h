// What an update pass tells whoever shows it to a player, and how a pass ends. The pass knows
// nothing of windows: it hands its texts and positions to these calls, from its own threads but
// never two calls at once.
#pragma once

enum class PassEnd {
    failed,     // the player may start the game anyway, or try again
    succeeded,  // every listed file is in place
    restarted,  // a new launcher runs and this one must close without asking
};

struct PassObserver {
    void* context;  // the observer's own, handed back with every call
    void (*status)(void* context, const char* text);
    void (*detail)(void* context, const char* text);
    void (*progress)(void* context, unsigned position);  // thousandths of the current phase
    void (*news)(void* context, const char* text);       // the list's message, lines joined by LF
    void (*game_program)(void* context, const char* relative_name);  // what START runs from now on
    // Whatever keeps a second launcher out: given up (`hold` false) just before a new launcher is
    // started, taken back (`hold` true) when that start failed, before anything else happens.
    void (*instance_lock)(void* context, bool hold);
    // The pass's last call, made once on every path.
    void (*finished)(void* context, PassEnd end);
};
