// The notification server's address built into the program: the KASSARO_SERVER_URL cache variable,
// "ws://HOST:PORT" or "wss://HOST[:PORT]". It is compiled in a file of its own, so a build for another
// server recompiles only that file, and a program linked with its own definition carries another address.
#pragma once

namespace server {

const char* builtInEndpoint();

}  // namespace server
