// The first physical disk's identify data on Windows: first from the drive itself through its SMART
// interface, then through the disk controller's SCSI miniport interface; and what stands in for it
// where those need rights the user lacks: the disk's serial number and the installation's MachineGuid.
#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <vector>

#include "server/machine_id.h"

namespace server {
namespace {

// The SCSI miniport request header, as the storage port drivers expect it before the ATA command.
struct MiniportHeader {
  ULONG headerLength;
  UCHAR signature[8];
  ULONG timeout;
  ULONG controlCode;
  ULONG returnCode;
  ULONG length;
};

constexpr DWORD kMiniportIdentify = 0x001B0501;  // IOCTL_SCSI_MINIPORT_IDENTIFY
constexpr DWORD kScsiMiniport = 0x0004D008;      // IOCTL_SCSI_MINIPORT
constexpr BYTE kIdentifyDevice = 0xEC;           // ATA IDENTIFY DEVICE

struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  explicit Handle(HANDLE handle) : h(handle) {}
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return h != INVALID_HANDLE_VALUE; }
};

HANDLE openDevice(const char* name, DWORD access) {
  return CreateFileA(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

void copyWords(const BYTE* buffer, IdentifyWords& words) {
  for (size_t i = 0; i < words.size(); ++i) words[i] = uint16_t(buffer[2 * i] | buffer[2 * i + 1] << 8);
}

bool allZero(const IdentifyWords& words) {
  for (uint16_t w : words)
    if (w) return false;
  return true;
}

// The command block of an IDENTIFY DEVICE for the drive on `driveNumber` (master or slave of its channel).
void fillIdentify(SENDCMDINPARAMS& in, BYTE driveNumber) {
  in.cBufferSize = IDENTIFY_BUFFER_SIZE;
  in.irDriveRegs.bSectorCountReg = 1;
  in.irDriveRegs.bSectorNumberReg = 1;
  in.irDriveRegs.bDriveHeadReg = BYTE(0xA0 | ((driveNumber & 1) << 4));
  in.irDriveRegs.bCommandReg = kIdentifyDevice;
  in.bDriveNumber = driveNumber;
}

bool readThroughSmart(IdentifyWords& words) {
  Handle drive(openDevice("\\\\.\\PhysicalDrive0", GENERIC_READ | GENERIC_WRITE));
  if (!drive.valid()) return false;
  GETVERSIONINPARAMS version{};
  DWORD got = 0;
  if (!DeviceIoControl(drive.h, SMART_GET_VERSION, nullptr, 0, &version, sizeof version, &got, nullptr))
    return false;
  if (!(version.fCapabilities & CAP_ATA_ID_CMD)) return false;

  SENDCMDINPARAMS in{};
  fillIdentify(in, 0);
  std::vector<BYTE> out(sizeof(SENDCMDOUTPARAMS) + IDENTIFY_BUFFER_SIZE, 0);
  if (!DeviceIoControl(drive.h, SMART_RCV_DRIVE_DATA, &in, sizeof in, out.data(), DWORD(out.size()), &got,
                       nullptr))
    return false;
  const auto* answer = reinterpret_cast<const SENDCMDOUTPARAMS*>(out.data());
  if (got < offsetof(SENDCMDOUTPARAMS, bBuffer) + IDENTIFY_BUFFER_SIZE) return false;
  copyWords(answer->bBuffer, words);
  return !allZero(words);
}

bool readThroughMiniport(IdentifyWords& words) {
  Handle controller(openDevice("\\\\.\\Scsi0:", GENERIC_READ | GENERIC_WRITE));
  if (!controller.valid()) return false;
  const size_t commandSize = sizeof(SENDCMDINPARAMS) - 1;
  const size_t answerSize = sizeof(SENDCMDOUTPARAMS) + IDENTIFY_BUFFER_SIZE;
  std::vector<BYTE> buffer(sizeof(MiniportHeader) + (answerSize > commandSize ? answerSize : commandSize), 0);

  auto* header = reinterpret_cast<MiniportHeader*>(buffer.data());
  header->headerLength = sizeof(MiniportHeader);
  std::memcpy(header->signature, "SCSIDISK", 8);
  header->timeout = 10000;
  header->controlCode = kMiniportIdentify;
  header->length = DWORD(answerSize);
  auto* in = reinterpret_cast<SENDCMDINPARAMS*>(buffer.data() + sizeof(MiniportHeader));
  fillIdentify(*in, 0);

  DWORD got = 0;
  if (!DeviceIoControl(controller.h, kScsiMiniport, buffer.data(), DWORD(sizeof(MiniportHeader) + commandSize),
                       buffer.data(), DWORD(buffer.size()), &got, nullptr))
    return false;
  if (got < sizeof(MiniportHeader) + offsetof(SENDCMDOUTPARAMS, bBuffer) + IDENTIFY_BUFFER_SIZE) return false;
  const auto* answer = reinterpret_cast<const SENDCMDOUTPARAMS*>(buffer.data() + sizeof(MiniportHeader));
  copyWords(answer->bBuffer, words);
  return !allZero(words);
}

// Trims the blanks that drivers pad serial numbers with.
std::string trimmed(const char* text, size_t length) {
  std::string s(text, strnlen(text, length));
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

}  // namespace

bool readStorageSerial(std::string& serial) {
  // No access rights asked: enough for the storage driver's description, and allowed to every user.
  Handle drive(openDevice("\\\\.\\PhysicalDrive0", 0));
  if (!drive.valid()) return false;
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  std::vector<BYTE> out(4096, 0);
  DWORD got = 0;
  if (!DeviceIoControl(drive.h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, out.data(), DWORD(out.size()),
                       &got, nullptr) ||
      got < sizeof(STORAGE_DEVICE_DESCRIPTOR))
    return false;
  const auto* device = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(out.data());
  const DWORD at = device->SerialNumberOffset;
  if (at == 0 || at >= got) return false;
  serial = trimmed(reinterpret_cast<const char*>(out.data() + at), got - at);
  return !serial.empty();
}

bool readMachineGuid(std::string& guid) {
  HKEY key = nullptr;
  // The 64-bit view: a 32-bit program on 64-bit Windows would otherwise look where the value is not.
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography", 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                    &key) != ERROR_SUCCESS)
    return false;
  char data[128] = {};
  DWORD size = sizeof data - 1, type = 0;
  const bool read = RegQueryValueExA(key, "MachineGuid", nullptr, &type, reinterpret_cast<BYTE*>(data), &size) ==
                        ERROR_SUCCESS && type == REG_SZ;
  RegCloseKey(key);
  if (!read) return false;
  guid = trimmed(data, size);
  return !guid.empty();
}

bool readDiskIdentify(IdentifyWords& words) {
  words.fill(0);
  if (readThroughSmart(words)) return true;
  words.fill(0);
  if (readThroughMiniport(words)) return true;
  words.fill(0);
  return false;
}

}  // namespace server
