#include "support/pe_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace lumiclip {

namespace {

constexpr uint16_t kFileDll = 0x2000;  // IMAGE_FILE_DLL
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kExportDirectorySize = 40;

uint16_t U16(const std::string& bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8);
}
uint32_t U32(const std::string& bytes, size_t at) {
  return static_cast<uint32_t>(U16(bytes, at)) | static_cast<uint32_t>(U16(bytes, at + 2)) << 16;
}

struct Section {
  uint32_t address, virtualSize, rawSize, rawOffset;
};

class Image {
 public:
  explicit Image(const ByteReader& read) : read_(read) {}

  bool failed() const { return failed_; }

  // Exactly size bytes at offset; false when the file holds fewer there.
  bool Exact(uint64_t offset, uint32_t size, std::string* out) {
    if (!read_(offset, size, out)) {
      failed_ = true;
      return false;
    }
    if (out->size() < size) return false;
    out->resize(size);
    return true;
  }

  void SetLayout(std::vector<Section> sections, uint32_t headersSize) {
    sections_ = std::move(sections);
    headersSize_ = headersSize;
  }

  // Where an address of the loaded image lies in the file, and how many of
  // the file's bytes of it follow there.
  bool Locate(uint32_t rva, uint64_t* offset, uint64_t* room) const {
    for (const Section& s : sections_) {
      uint64_t extent = s.virtualSize == 0 ? s.rawSize : s.virtualSize;
      uint64_t into = static_cast<uint64_t>(rva) - s.address;
      if (rva >= s.address && into < extent && into < s.rawSize) {
        *offset = static_cast<uint64_t>(s.rawOffset) + into;
        *room = s.rawSize - into;
        return true;
      }
    }
    if (rva < headersSize_) {
      *offset = rva;
      *room = headersSize_ - rva;
      return true;
    }
    return false;
  }

  bool AtAddress(uint32_t rva, uint32_t size, std::string* out) {
    uint64_t offset = 0, room = 0;
    return Locate(rva, &offset, &room) && room >= size && Exact(offset, size, out);
  }

  // The zero-terminated name at rva compared with name as strcmp compares:
  // negative when name sorts first. False when the name cannot be read.
  bool CompareName(uint32_t rva, const std::string& name, int* order) {
    uint64_t offset = 0, room = 0;
    if (!Locate(rva, &offset, &room)) return false;
    // strcmp is decided within the length of the shorter text and its zero.
    uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(name.size() + 1, room));
    std::string found;
    if (!read_(offset, want, &found)) {
      failed_ = true;
      return false;
    }
    for (size_t i = 0; i <= name.size(); ++i) {
      if (i >= found.size()) return false;  // cut short by the file or its section
      unsigned char a = i < name.size() ? static_cast<unsigned char>(name[i]) : 0;
      unsigned char b = static_cast<unsigned char>(found[i]);
      if (a != b || a == 0) {
        *order = static_cast<int>(a) - static_cast<int>(b);
        return true;
      }
    }
    return false;
  }

 private:
  const ByteReader& read_;
  bool failed_ = false;
  std::vector<Section> sections_;
  uint32_t headersSize_ = 0;
};

bool FindExport(Image& image, uint32_t directory, const std::string& name) {
  std::string bytes;
  if (directory == 0 || !image.AtAddress(directory, kExportDirectorySize, &bytes)) return false;
  uint32_t functions = U32(bytes, 20), names = U32(bytes, 24);
  uint32_t functionTable = U32(bytes, 28), nameTable = U32(bytes, 32), ordinalTable = U32(bytes, 36);
  uint32_t low = 0, high = names;
  while (low < high) {
    uint32_t middle = low + (high - low) / 2;
    std::string entry;
    int order = 0;
    if (!image.AtAddress(nameTable + 4 * middle, 4, &entry) || !image.CompareName(U32(entry, 0), name, &order)) {
      return false;
    }
    if (order < 0) {
      high = middle;
    } else if (order > 0) {
      low = middle + 1;
    } else {
      std::string ordinal, address;
      if (!image.AtAddress(ordinalTable + 2 * middle, 2, &ordinal)) return false;
      uint16_t index = U16(ordinal, 0);
      return index < functions && image.AtAddress(functionTable + 4 * index, 4, &address) && U32(address, 0) != 0;
    }
  }
  return false;
}

}  // namespace

PeFacts ReadPeFacts(const ByteReader& read, const char* exportName) {
  PeFacts facts;
  Image image(read);
  auto verdict = [&](PeVerdict v) {
    facts.verdict = image.failed() ? PeVerdict::kUnreadable : v;
    return facts;
  };

  std::string dos;
  if (!image.Exact(0, 64, &dos) || dos[0] != 'M' || dos[1] != 'Z') return verdict(PeVerdict::kNotAnImage);
  uint64_t pe = U32(dos, 0x3C);
  std::string header;
  if (!image.Exact(pe, 24, &header) || header.compare(0, 4, std::string("PE\0\0", 4)) != 0) {
    return verdict(PeVerdict::kNotAnImage);
  }
  facts.machine = U16(header, 4);
  uint16_t sectionCount = U16(header, 6);
  uint16_t optionalSize = U16(header, 20);
  uint16_t characteristics = U16(header, 22);

  std::string optional;
  if (optionalSize < 64 || !image.Exact(pe + 24, optionalSize, &optional)) return verdict(PeVerdict::kNotAnImage);
  uint16_t magic = U16(optional, 0);
  size_t directories = 0;
  if (magic == kMagicPe32) {
    directories = 92;
  } else if (magic == kMagicPe32Plus) {
    directories = 108;
  } else {
    return verdict(PeVerdict::kNotAnImage);
  }
  if ((characteristics & kFileDll) == 0) return verdict(PeVerdict::kNotALibrary);

  std::string table;
  if (!image.Exact(pe + 24 + optionalSize, uint32_t{sectionCount} * 40, &table)) {
    return verdict(PeVerdict::kNotAnImage);
  }
  std::vector<Section> sections;
  for (size_t i = 0; i < sectionCount; ++i) {
    size_t at = i * 40;
    sections.push_back({U32(table, at + 12), U32(table, at + 8), U32(table, at + 16), U32(table, at + 20)});
  }
  image.SetLayout(std::move(sections), U32(optional, 60));

  uint32_t exportDirectory = 0;
  if (optional.size() >= directories + 4 + 8 && U32(optional, directories) >= 1) {
    exportDirectory = U32(optional, directories + 4);
  }
  facts.exported = FindExport(image, exportDirectory, exportName);
  return verdict(PeVerdict::kLibrary);
}

std::string MachineName(uint16_t machine) {
  switch (machine) {
    case kMachineI386:
      return "x86 (32-bit)";
    case kMachineAmd64:
      return "x64 (64-bit)";
    case kMachineArm64:
      return "ARM64";
    default: {
      char text[16];
      std::snprintf(text, sizeof(text), "0x%04X", machine);
      return text;
    }
  }
}

}  // namespace lumiclip
