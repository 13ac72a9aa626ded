// Natively there is no disk interface nor Windows installation to ask: the identifier is the one of a PC
// where nothing can be read.
#include "server/machine_id.h"

namespace server {

bool readDiskIdentify(IdentifyWords&) { return false; }
bool readStorageSerial(std::string&) { return false; }
bool readMachineGuid(std::string&) { return false; }

}  // namespace server
