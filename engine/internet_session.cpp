// The internet session every pass shares, with the user agent and the time-outs of the launcher.
#include "engine/internet_session.h"

#include "transfer/http_request.h"
#include "transfer/url.h"

// Written only by a pass while it is null, and closed only when the process ends.
static HINTERNET internet_session;

// The time-outs are set again on every pass all the same.
HINTERNET prepare_internet_session()
{
    if (internet_session == NULL)
        internet_session = InternetOpenA(launcher_user_agent, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (internet_session == NULL)
        return NULL;
    DWORD timeout = network_timeout_ms;
    InternetSetOptionA(internet_session, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof(timeout));
    InternetSetOptionA(internet_session, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));
    return internet_session;
}

void close_internet_session()
{
    if (internet_session != NULL)
        InternetCloseHandle(internet_session);
    internet_session = NULL;
}
