// Writes an L01 or Lx01 logical evidence set of a folder tree, for the end-to-end tests:
//   l01_writer --from tree --out set/logical.L01 --chunk-sectors 1 --chunks-per-segment 4
//   l01_writer --from tree --out set/logical.Lx01 --compress bzip2
// As in real sets the root entry is the folder "LogicalEntries"; the source folder's entries are its
// children, taken in name order. stat times become Unix seconds (the modification time also stands
// in for the creation time, which stat does not give).

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "fixtures/Ewf2Writer.h"
#include "fixtures/L01Writer.h"
#include "fixtures/SourceTree.h"

namespace {

constexpr UInt32 kArchiveAttribute = 0x8, kFolderAttribute = 0x2000000;

void Usage() {
  std::cerr << "usage: l01_writer --from DIR --out PATH/NAME.L01|NAME.Lx01 [options]\n"
               "  --chunk-sectors N        sectors of 512 bytes per chunk (default 64)\n"
               "  --chunks-per-segment N   chunks in each segment file (default: one segment)\n"
               "  --stored                 chunks stored with their Adler-32, not deflated\n"
               "  --tree-first             the entry tree in segment 1 instead of the last segment\n"
               "  --copies                 table2 and data copies, as real writers store them (L01)\n"
               "  --digests md5|sha1|both|none   stored digests of the files (default md5)\n"
               "  --wrong-md5 RELPATH      store a wrong MD5 for that file\n"
               "  --sparse RELPATH         a file of one byte repeated: stored as that byte, flagged sparse\n"
               "  --sparse-whole RELPATH   flagged sparse, stored whole\n"
               "  --duplicate RELPATH=EARLIER  stored as its first byte, flagged sparse, with \"du\" at the\n"
               "                           data of EARLIER (an earlier file with the same contents)\n"
               "  --typed-extents          the extents of sparse files carry \"S \" before their offset\n"
               "  --corrupt-chunk K        flip a byte in the middle of chunk K (from 0)\n"
               "  --missing-segment K      do not write segment K (from 1)\n"
               "Lx01 only:\n"
               "  --compress KIND          deflate (default), bzip2 (header-less blocks as EnCase writes them),\n"
               "                           bzip2-stream, plain (stored without checksum)\n"
               "  --no-hash                the tree text without its integrity hash\n"
               "  --wrong-hash             an integrity hash of other bytes\n"
               "  --bom                    the tree text with a byte-order mark\n";
  std::exit(2);
}

UInt64 Number(const std::string &s) {
  UInt64 v = 0;
  if (!ParseToolNumber(s, v))
    Usage();
  return v;
}

std::vector<TL01Entry> ToEntries(const std::vector<TSourceEntry> &entries, bool md5, bool sha1) {
  std::vector<TL01Entry> nodes;
  for (const TSourceEntry &e : entries) {
    TL01Entry node;
    node.Name = e.Name;
    node.IsDir = e.IsDir;
    node.CTime = node.MTime = static_cast<UInt64>(e.MTime.tv_sec);
    node.ATime = static_cast<UInt64>(e.ATime.tv_sec);
    node.ChangeTime = static_cast<UInt64>(e.ChangeTime.tv_sec);
    node.Attributes = node.IsDir ? kFolderAttribute : kArchiveAttribute;
    node.StoreMD5 = md5;
    node.StoreSHA1 = sha1;
    node.Data = e.Data;
    node.Children = ToEntries(e.Children, md5, sha1);
    nodes.push_back(std::move(node));
  }
  return nodes;
}

TL01Entry &FindEntry(std::vector<TL01Entry> &nodes, const std::string &relPath) {
  const size_t slash = relPath.find('/');
  const std::string head = relPath.substr(0, slash);
  for (TL01Entry &node : nodes)
    if (node.Name == head)
      return slash == std::string::npos ? node : FindEntry(node.Children, relPath.substr(slash + 1));
  throw std::invalid_argument("no item " + relPath);
}

void WriteFiles(const std::string &dir, const std::vector<TEwfSegmentFile> &files) {
  for (const TEwfSegmentFile &file : files) {
    const std::string path = dir + file.Name;
    std::ofstream w(path, std::ios::binary | std::ios::trunc);
    w.write(reinterpret_cast<const char *>(file.Data.data()), static_cast<std::streamsize>(file.Data.size()));
    if (!w)
      throw std::runtime_error("cannot write " + path);
  }
}

}  // namespace

// The path of a source file in the tree text.
std::string TreePath(const std::string &relPath) {
  std::string path = "LogicalEntries\\" + relPath;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

int main(int argc, char **argv) {
  std::string from, out, digests = "md5", wrongMd5;
  std::vector<std::string> sparse, sparseWhole, duplicates;
  bool typedExtents = false;
  UInt64 missing = 0;
  long long corruptChunk = -1;
  bool stored = false;
  std::string compress = "deflate";
  TL01Options o;
  TLx01Options x;
  try {
    for (int i = 1; i < argc; i++) {
      const std::string arg = argv[i];
      if (arg == "--stored" || arg == "--tree-first" || arg == "--typed-extents" || arg == "--copies") {
        (arg == "--stored"       ? stored
         : arg == "--tree-first" ? o.TreeInFirstSegment
         : arg == "--copies"     ? o.Copies
                                 : typedExtents) = true;
        continue;
      }
      if (arg == "--no-hash" || arg == "--wrong-hash" || arg == "--bom") {
        (arg == "--no-hash" ? x.IntegrityHash : arg == "--wrong-hash" ? x.WrongIntegrityHash : x.ByteOrderMark) =
            arg != "--no-hash";
        continue;
      }
      if (i + 1 >= argc)
        Usage();
      const std::string v = argv[++i];
      if (arg == "--from") from = v;
      else if (arg == "--out") out = v;
      else if (arg == "--chunk-sectors") o.SectorsPerChunk = static_cast<UInt32>(Number(v));
      else if (arg == "--chunks-per-segment") o.ChunksPerSegment = static_cast<UInt32>(Number(v));
      else if (arg == "--digests") digests = v;
      else if (arg == "--wrong-md5") wrongMd5 = v;
      else if (arg == "--sparse") sparse.push_back(v);
      else if (arg == "--sparse-whole") sparseWhole.push_back(v);
      else if (arg == "--duplicate") duplicates.push_back(v);
      else if (arg == "--corrupt-chunk") corruptChunk = static_cast<long long>(Number(v));
      else if (arg == "--missing-segment") missing = Number(v);
      else if (arg == "--compress") compress = v;
      else Usage();
    }
    if (from.empty() || out.empty() || (digests != "md5" && digests != "sha1" && digests != "both" && digests != "none"))
      Usage();
    if (stored)
      o.Compress = [](UInt32) { return false; };

    TL01Entry root;
    root.Name = "LogicalEntries";
    root.IsDir = true;
    root.Children = ToEntries(ReadSourceTree(from), digests == "md5" || digests == "both", digests == "sha1" || digests == "both");
    if (!wrongMd5.empty()) {
      TL01Entry &file = FindEntry(root.Children, wrongMd5);
      if (file.IsDir || !file.StoreMD5)
        throw std::invalid_argument(wrongMd5 + " has no stored MD5 to spoil");
      std::string md5 = L01Hex(EwfMD5(file.Data));
      md5[0] = md5[0] == '0' ? '1' : '0';
      file.Values["ha"] = md5;
    }

    const auto makeSparse = [&](const std::string &relPath, TL01Entry::TSparse form) -> TL01Entry & {
      TL01Entry &file = FindEntry(root.Children, relPath);
      if (file.IsDir)
        throw std::invalid_argument(relPath + " is a folder");
      file.Sparse = form;
      if (typedExtents)
        file.ExtentPrefix = "S ";
      return file;
    };
    for (const std::string &f : sparse)
      makeSparse(f, TL01Entry::TSparse::OneByte);
    for (const std::string &f : sparseWhole)
      makeSparse(f, TL01Entry::TSparse::WholeExtent);
    for (const std::string &d : duplicates) {
      const size_t eq = d.find('=');
      if (eq == std::string::npos)
        Usage();
      makeSparse(d.substr(0, eq), TL01Entry::TSparse::OneByte).DuplicateOf = TreePath(d.substr(eq + 1));
    }

    // Segment 1 is --out itself; the others lie beside it with the same letter case.
    const size_t slash = out.find_last_of('/');
    const std::string dir = slash == std::string::npos ? std::string() : out.substr(0, slash + 1);
    const std::string name = out.substr(slash == std::string::npos ? 0 : slash + 1);
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || (name.size() - dot != 4 && name.size() - dot != 5))
      Usage();
    o.BaseName = name.substr(0, dot);
    o.Extension = name.substr(dot + 1);

    TL01Layout layout;
    std::vector<TEwfSegmentFile> files;
    if (o.Extension.size() == 4 && (o.Extension[1] == 'x' || o.Extension[1] == 'X')) {
      TEwf2WriterOptions &set = x.Set;
      set.SectorsPerChunk = o.SectorsPerChunk;
      set.ChunksPerSegment = o.ChunksPerSegment;
      set.BaseName = o.BaseName;
      set.Extension = o.Extension;
      set.Method = compress.starts_with("bzip2") ? 2 : 1;
      set.HeaderlessBZip2 = compress == "bzip2";
      if (compress != "deflate" && compress != "bzip2" && compress != "bzip2-stream" && compress != "plain")
        Usage();
      const TEwf2ChunkKind kind = stored ? TEwf2ChunkKind::Stored
                                  : compress == "plain" ? TEwf2ChunkKind::StoredNoChecksum
                                                        : TEwf2ChunkKind::Compressed;
      set.Kind = [kind](UInt32) { return kind; };
      x.TreeInFirstSegment = o.TreeInFirstSegment;
      files = WriteLx01(root, x, &layout);
    } else {
      files = WriteL01(root, o, &layout);
    }
    if (corruptChunk >= 0) {
      if (static_cast<size_t>(corruptChunk) >= layout.Chunks.size())
        throw std::invalid_argument("no chunk " + std::to_string(corruptChunk) + " to corrupt");
      const TL01Chunk &c = layout.Chunks[static_cast<size_t>(corruptChunk)];
      if (c.Size == 0)
        throw std::invalid_argument("chunk " + std::to_string(corruptChunk) + " stores no bytes");
      files[c.Segment].Data[c.Offset + c.Size / 2] ^= 0xFF;
    }
    if (missing) {
      if (missing > files.size())
        throw std::invalid_argument("no segment " + std::to_string(missing) + " to leave out");
      files.erase(files.begin() + static_cast<ptrdiff_t>(missing - 1));
    }
    WriteFiles(dir, files);
  } catch (const std::exception &e) {
    std::cerr << "l01_writer: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
