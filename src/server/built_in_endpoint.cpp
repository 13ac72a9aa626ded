#include "server/built_in_endpoint.h"

namespace server {

const char* builtInEndpoint() { return KASSARO_SERVER_URL; }

}  // namespace server
