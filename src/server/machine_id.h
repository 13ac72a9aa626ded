// The machine identifier that login and registration carry: an MD5 digest of a number derived from the
// first physical disk's identify data (or, where that cannot be read, from its serial number or the
// Windows installation's identity), the same on every run on the same machine.
#pragma once
#include <array>
#include <cstdint>
#include <string>

namespace server {

// The 256 words of an ATA IDENTIFY DEVICE answer.
using IdentifyWords = std::array<uint16_t, 256>;

// (w[6] + w[3] + w[21] + w[1]) << 16, plus the sums of w[27..46], w[23..26] and w[10..19], wrapping in
// 32 bits.
int32_t identityNumberFromWords(const IdentifyWords& words);

// The identify data of the first physical disk, asked of the drive's SMART interface, then of the disk
// controller's SCSI miniport; false when neither answers.
bool readDiskIdentify(IdentifyWords& words);

// What every PC has and no right is needed to read, for when the identify data cannot be read (that
// takes administrator rights, and NVMe drives do not answer it): the first disk's serial number as the
// storage driver reports it, and the Windows installation's MachineGuid. False when not there.
bool readStorageSerial(std::string& serial);
bool readMachineGuid(std::string& guid);

// A number for such a text: the low 32 bits of its MD5, least significant byte first.
int32_t identityNumberFromText(const std::string& text);

// The number of the first disk from its identify data, else from its serial number, else from the
// MachineGuid; 0 when none of them can be read.
int32_t diskIdentityNumber();

// The identifier for a disk number: the number plus the salt in double precision, truncated toward zero
// through a 64-bit integer, its low 32 bits as four bytes least significant first, MD5 in upper-case hex.
std::string machineIdFor(int32_t diskNumber);

// Computed afresh on every call: nothing is cached.
std::string machineId();

inline constexpr double kMachineSalt = 37158264.40926173;

}  // namespace server
