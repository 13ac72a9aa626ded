// Natively there is no disk interface to ask: the identifier is the one of a disk that cannot be read.
#include "server/machine_id.h"

namespace server {

bool readDiskIdentify(IdentifyWords&) { return false; }

}  // namespace server
