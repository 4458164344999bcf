// VirtualDisk: the base of every disk image class, with the partition table that discovery
// fills (MBR, extended chains, LDM) and that GetPartition hands out as VirtualPartition objects.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include "platform/status.h"
#include "platform/sync.h"
#include "vmpeek/vmpeek.h"

// What a GPT entry holds beyond its row: the type GUID (bytes as stored) and the name.
struct GptRowDetails {
  uint8_t typeGuid[16];
  WCHAR name[37];  // up to 36 units, terminated
};

struct PartitionEntry {
  uint8_t type;
  uint32_t firstSector;
  uint32_t sectorCount;
  uint8_t uniqueId[16];
};

// Media types (Windows MEDIA_TYPE).
#define MEDIA_TYPE_REMOVABLE 11u
#define MEDIA_TYPE_FIXED 12u

class VirtualDisk : public vmpeek::VirtualDisk {
 public:
  explicit VirtualDisk(const WCHAR* fileName);

  // Slots shared by every image class (Open, Read, Write and Destroy are the subclass's).
  uint32_t AddRef() override;
  void Release() override;
  uint8_t IsReadOnly() override;
  const WCHAR* GetFileName() override;
  NTSTATUS GetParentFileName(WCHAR* buffer, uint64_t* size) override;
  void GetGeometry(uint32_t* mediaType, uint32_t* bytesPerSector, uint64_t* sectorCount,
                   uint64_t* cylinders, uint32_t* tracksPerCylinder,
                   uint32_t* sectorsPerTrack) override;
  uint8_t GetPartitionCount() override;
  NTSTATUS GetPartition(uint8_t index, vmpeek::VirtualPartition** partition) override;
  uint8_t IsSavedState() override;

  // Not a host slot: makes every write so far durable (and, for images that order their
  // writes, is what they call between steps). A failure is the status, with an error trace.
  virtual NTSTATUS Flush() { return STATUS_SUCCESS; }

  // Appends one row; a null uniqueId is stored as zero. A full table (252 rows) drops the row
  // with an error trace.
  void AddPartition(uint8_t type, uint32_t firstSector, uint32_t sectorCount, const uint8_t* uniqueId);
  // Partition discovery through slot 9 (Read); adds rows, never fails the caller.
  void ProcessMBR();
  void ProcessNormalMBR(const uint8_t* sector);
  void ProcessExtendedMBR(const uint8_t* record, uint32_t signature, uint32_t base, uint32_t here);
  void ProcessLDMDisk(uint32_t base);
  // GPT discovery for an MBR holding a 0xEE entry: the primary header at sector 1, else the
  // backup at the last sector. True when one was valid and its entries became the rows; false
  // (with a trace line) when the MBR's own rows are to be listed instead.
  bool ProcessGPT();

  // LDM record helpers. `available` is the number of database bytes from `record` (or
  // `position`) to the end of the database buffer; nothing beyond it is read.
  // The member at the end of `path` (field widths skipped from byte 20; kCountedField skips a
  // counted field), when it lies within byte 128 of the record and `memberWidth` bytes of it
  // (kCountedField: its length byte) are inside the buffer; otherwise null with an error trace.
  static constexpr uint8_t kCountedField = 0xFF;
  static const uint8_t* GetVBlkMember(const uint8_t* record, size_t available, const uint8_t* path,
                                      size_t pathLength, uint8_t memberWidth);
  // A length byte n (1 to 4) followed by n big-endian bytes; 0 with an error trace otherwise.
  static uint64_t CountedObject(const uint8_t* position, size_t available);

  // Read access to the partition table for code inside the library.
  const PartitionEntry* Partitions() const { return m_Partitions.data(); }
  uint8_t PartitionCount() const { return static_cast<uint8_t>(m_Partitions.size()); }
  // The partition table the last discovery found (PartitionSchemeNone before any).
  vmpeek::PartitionScheme Scheme() const { return m_Scheme; }
  // For a GPT disk each row's type GUID and name, indexed as the rows; null for other schemes.
  const GptRowDetails* GptRows() const { return m_GptRows.get(); }

  // What the next Open does about partitions. A host's open (the default) needs a partition
  // table and fails with STATUS_DEVICE_NOT_PARTITIONED without one; a whole-disk open lists what
  // it finds and opens without partitions too; a parent is only read through for its child and
  // looks for none.
  enum class OpenPurpose : uint8_t { Partitions, WholeDisk, Parent };
  void SetOpenPurpose(OpenPurpose purpose) { m_Purpose = purpose; }
  OpenPurpose Purpose() const { return m_Purpose; }
  // Opens a differencing image's parent, read-only and as a parent: the one way parents open.
  static NTSTATUS OpenParentImage(VirtualDisk* parent);

 protected:
  ~VirtualDisk();  // run by the subclass's Destroy slot
  // Bounds the extended-chain walk: false (with an error trace) once the table is full, 256
  // records were followed, or sector was already visited; otherwise records sector.
  bool MayFollowExtendedRecord(uint32_t sector);
  // One row per used GPT entry, in entry order; bad entries are skipped with a trace line.
  void AddGptRows(const uint8_t* entries, uint32_t count, uint32_t size, uint64_t firstUsable,
                  uint64_t lastUsable);
  // The last step of an image class's Open once its data can be read: partition discovery as
  // the purpose asks (noPartitionsTrace is the class's error line when a host's open finds
  // none); sets m_Opened on success.
  NTSTATUS FinishOpen(const WCHAR* noPartitionsTrace);
  // Replaces m_ParentFileName with a copy of name (null clears it).
  void SetParentFileName(const WCHAR* name);

  uint8_t m_Opened = 0;
  std::u16string m_FileName;
  volatile uint32_t m_RefCount = 1;
  uint32_t m_BytesPerSector = 0;
  uint64_t m_SectorCount = 0;
  uint64_t m_Cylinders = 0;
  uint32_t m_TracksPerCylinder = 0;
  uint32_t m_SectorsPerTrack = 0;
  uint32_t m_MediaType = 0;
  std::vector<PartitionEntry> m_Partitions;  // at most kMaxPartitions rows
  uint8_t m_ReadOnly = 0;
  std::optional<std::u16string> m_ParentFileName;
  uint8_t m_SavedState = 0;
  CRITICAL_SECTION m_Lock;
  OpenPurpose m_Purpose = OpenPurpose::Partitions;
  vmpeek::PartitionScheme m_Scheme = vmpeek::PartitionSchemeNone;

  // Bounds of the extended-chain walk (records followed) and of the table.
  static constexpr uint32_t kMaxExtendedRecords = 256;
  static constexpr uint32_t kMaxPartitions = 252;
  uint32_t m_ExtendedRecordsSeen = 0;
  uint32_t m_ExtendedRecordSectors[kMaxExtendedRecords] = {};

  std::unique_ptr<GptRowDetails[]> m_GptRows;  // kMaxPartitions entries once a GPT is read
};
