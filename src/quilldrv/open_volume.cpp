#include "quilldrv/volume_driver.h"

#include "module/trace.h"
#include "quilldrv/driver_errors.h"
#include "quilldrv/fs_probe.h"
#include "quilldrv/image_source.h"
#include "quilldrv/ntfs_volume.h"
#include "quilldrv/tsk_volume.h"

uint32_t OpenImageVolume(const std::u16string& ntPath, uint8_t partition, bool writable,
                         std::shared_ptr<VolumeProvider>* provider) {
  std::unique_ptr<ImageSource> source;
  uint32_t st = ImageSource::Open(ntPath, partition, writable, &source);
  if (st) return st;
  bool readFailed = false;
  FsKind kind = ProbeFilesystem(source->Device(), &readFailed);
  switch (kind) {
    case FsKind::Ntfs: {
      std::shared_ptr<NtfsVolume> v;
      st = NtfsVolume::Mount(std::move(source), writable, &v);
      *provider = v;
      return st;
    }
    case FsKind::Unknown:
      TraceNarrow("quilldrv: no filesystem recognised on the volume\n");
      return readFailed ? ERROR_IO_DEVICE : ERROR_UNRECOGNIZED_VOLUME;
    default: {
      if (writable) TraceNarrow("quilldrv: %s volumes are served read-only\n", FsKindName(kind));
      std::shared_ptr<TskVolume> v;
      st = TskVolume::Mount(std::move(source), kind, &v);
      *provider = v;
      return st;
    }
  }
}

