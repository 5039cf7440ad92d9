#include "formats/aff4/Aff4Turtle.h"

#include <serd/serd.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "host/Errors.h"
#include "streams/InStreams.h"

namespace {
struct TNamespace {
  std::string_view Iri;
  std::string_view Folded;
};
// The Standard's vocabulary, the one written before it, its symbolic streams, and XML Schema.
constexpr TNamespace kNamespaces[] = {
    {"http://aff4.org/Schema#", "aff4:"},
    {"http://afflib.org/2009/aff4#", "aff4:"},
    {"http://afflib.org/2012/SymbolicStream#", "aff4:symbolicstream"},
    {"http://www.w3.org/2001/XMLSchema#", "xsd:"},
};
constexpr std::string_view kRdfType = "http://www.w3.org/1999/02/22-rdf-syntax-ns#type";

// Folded names of the predicates, in the order of TAff4Predicate.
constexpr std::string_view kPredicates[] = {
    "rdf:type", "aff4:size", "aff4:chunksize", "aff4:chunksinsegment", "aff4:compressionmethod",
    "aff4:mapgapdefaultstream", "aff4:datastream", "aff4:dependentstream", "aff4:stored", "aff4:target",
    "aff4:hash", "aff4:blockmaphash", "aff4:maphash", "aff4:mapidxhash", "aff4:mappointhash", "aff4:mappathhash",
    "aff4:imagestreamhash", "aff4:imagestreamindexhash", "aff4:blockhasheshash", "aff4:linearblockhash",
    "aff4:filename", "aff4:originalfilename", "aff4:birthtime", "aff4:lastwritten", "aff4:lastaccessed",
    "aff4:recordchanged", "aff4:casenumber", "aff4:casename", "aff4:casedescription", "aff4:evidencenumber",
    "aff4:examiner", "aff4:notes", "aff4:starttime", "aff4:endtime", "aff4:creationtime", "aff4:diskmake",
    "aff4:diskmodel", "aff4:diskserial", "aff4:diskfirmware", "aff4:diskdevicename", "aff4:diskinterfacetype",
    "aff4:sectorcount", "aff4:blocksize", "aff4:acquisitioncompletionstate", "aff4:version",
};
static_assert(std::size(kPredicates) == static_cast<size_t>(TAff4Predicate::kCount));
// Names the earlier vocabulary gives some of them.
constexpr std::pair<std::string_view, TAff4Predicate> kAliases[] = {
    {"aff4:make", TAff4Predicate::kDiskMake},
    {"aff4:model", TAff4Predicate::kDiskModel},
    {"aff4:serial", TAff4Predicate::kDiskSerial},
    {"aff4:firmwarestring", TAff4Predicate::kDiskFirmware},
    {"aff4:devicename", TAff4Predicate::kDiskDeviceName},
    {"aff4:blockcount", TAff4Predicate::kSectorCount},
};

bool FindPredicate(std::string_view folded, TAff4Predicate &predicate) {
  for (size_t i = 0; i < std::size(kPredicates); i++)
    if (kPredicates[i] == folded) {
      predicate = static_cast<TAff4Predicate>(i);
      return true;
    }
  for (const auto &[name, p] : kAliases)
    if (name == folded) {
      predicate = p;
      return true;
    }
  return false;
}

std::string_view View(const SerdNode *node) {
  return node && node->buf ? std::string_view(reinterpret_cast<const char *>(node->buf), node->n_bytes)
                           : std::string_view();
}

// A node expanded to its full IRI (CURIEs and relative IRIs), released with the object.
struct TExpanded {
  SerdNode Node = SERD_NODE_NULL;
  TExpanded(SerdEnv *env, const SerdNode *node) {
    if (node && (node->type == SERD_URI || node->type == SERD_CURIE))
      Node = serd_env_expand_node(env, node);
  }
  ~TExpanded() { serd_node_free(&Node); }
  TExpanded(const TExpanded &) = delete;
  TExpanded &operator=(const TExpanded &) = delete;
  // The IRI; a node that does not expand (an unknown prefix) keeps its text.
  std::string Text(const SerdNode *original) const {
    return std::string(Node.buf ? View(&Node) : View(original));
  }
};
}  // namespace

std::string FoldAff4Iri(std::string_view iri) {
  if (iri == kRdfType)
    return "rdf:type";
  for (const TNamespace &ns : kNamespaces) {
    if (iri.substr(0, ns.Iri.size()) != ns.Iri)
      continue;
    std::string folded(ns.Folded);
    for (const char c : iri.substr(ns.Iri.size()))
      if (c != '_')
        folded.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return folded;
  }
  return std::string(iri);
}

// The parser's callbacks.
struct TAff4GraphSink {
  TAff4Graph &Graph;
  SerdEnv *Env;
  ISequentialInStream *Text;
  bool ReadFailed = false;

  static SerdStatus OnBase(void *handle, const SerdNode *uri) {
    return serd_env_set_base_uri(static_cast<TAff4GraphSink *>(handle)->Env, uri);
  }
  static SerdStatus OnPrefix(void *handle, const SerdNode *name, const SerdNode *uri) {
    return serd_env_set_prefix(static_cast<TAff4GraphSink *>(handle)->Env, name, uri);
  }
  static SerdStatus OnError(void *handle, const SerdError *) {
    static_cast<TAff4GraphSink *>(handle)->Graph.Errors |= 1u << kpv_ErrorFlags_HeadersError;
    return SERD_SUCCESS;
  }
  static SerdStatus OnStatement(void *handle, SerdStatementFlags, const SerdNode *, const SerdNode *subject,
                                const SerdNode *predicate, const SerdNode *object, const SerdNode *datatype,
                                const SerdNode *) {
    auto &self = *static_cast<TAff4GraphSink *>(handle);
    const TExpanded p(self.Env, predicate);
    TAff4Predicate which;
    if (!FindPredicate(FoldAff4Iri(p.Text(predicate)), which))
      return SERD_SUCCESS;
    const auto node = [&](const SerdNode *n) {
      if (n->type == SERD_BLANK)
        return "_:" + std::string(View(n));
      return TExpanded(self.Env, n).Text(n);
    };
    TAff4Value value;
    value.IsIri = object->type != SERD_LITERAL;
    if (value.IsIri) {
      value.Text = which == TAff4Predicate::kType || which == TAff4Predicate::kCompressionMethod ||
                           which == TAff4Predicate::kMapGapDefaultStream
                       ? FoldAff4Iri(node(object))
                       : node(object);
    } else {
      value.Text = View(object);
      if (datatype)
        value.Datatype = FoldAff4Iri(TExpanded(self.Env, datatype).Text(datatype));
    }
    // A text of millions of statements the reader uses is damage, not a reason to keep them all.
    if (self.Graph.FStatements >= TAff4Graph::kMaxStatements) {
      self.Graph.Errors |= 1u << kpv_ErrorFlags_HeadersError;
      return SERD_SUCCESS;
    }
    self.Graph.FStatements++;
    const std::string s = node(subject);
    auto [it, fresh] = self.Graph.FSubjects.try_emplace(s);
    if (fresh)
      self.Graph.FOrder.push_back(s);
    it->second.push_back({which, std::move(value)});
    return SERD_SUCCESS;
  }
  static size_t OnRead(void *buffer, size_t, size_t count, void *handle) {
    auto &self = *static_cast<TAff4GraphSink *>(handle);
    try {
      return ReadUpTo(self.Text, buffer, count);
    } catch (...) {
      self.ReadFailed = true;
      return 0;
    }
  }
  static int OnReadError(void *handle) { return static_cast<TAff4GraphSink *>(handle)->ReadFailed ? 1 : 0; }
};

void TAff4Graph::Parse(ISequentialInStream *text, const std::string &base) {
  const SerdNode baseNode = serd_node_from_string(SERD_URI, reinterpret_cast<const uint8_t *>(base.c_str()));
  const std::unique_ptr<SerdEnv, void (*)(SerdEnv *)> env(serd_env_new(&baseNode), serd_env_free);
  TAff4GraphSink sink{*this, env.get(), text};
  const std::unique_ptr<SerdReader, void (*)(SerdReader *)> reader(
      serd_reader_new(SERD_TURTLE, &sink, nullptr, TAff4GraphSink::OnBase, TAff4GraphSink::OnPrefix,
                      TAff4GraphSink::OnStatement, nullptr),
      serd_reader_free);
  if (!env || !reader)
    RaiseHResult(E_OUTOFMEMORY);
  serd_reader_set_error_sink(reader.get(), TAff4GraphSink::OnError, &sink);
  const SerdStatus st = serd_reader_read_source(reader.get(), TAff4GraphSink::OnRead, TAff4GraphSink::OnReadError,
                                                &sink, reinterpret_cast<const uint8_t *>("information.turtle"), 4096);
  if (sink.ReadFailed)
    RaiseHResult(E_FAIL);
  if (st > SERD_FAILURE)
    Errors |= 1u << kpv_ErrorFlags_HeadersError;
}

std::vector<const TAff4Value *> TAff4Graph::Values(const std::string &subject, TAff4Predicate predicate) const {
  std::vector<const TAff4Value *> out;
  const auto it = FSubjects.find(subject);
  if (it != FSubjects.end())
    for (const TStatement &s : it->second)
      if (s.Predicate == predicate)
        out.push_back(&s.Object);
  return out;
}

std::string TAff4Graph::First(const std::string &subject, TAff4Predicate predicate) const {
  const auto it = FSubjects.find(subject);
  if (it != FSubjects.end())
    for (const TStatement &s : it->second)
      if (s.Predicate == predicate)
        return s.Object.Text;
  return {};
}

bool TAff4Graph::HasType(const std::string &subject, std::string_view type) const {
  const auto it = FSubjects.find(subject);
  if (it == FSubjects.end())
    return false;
  return std::any_of(it->second.begin(), it->second.end(), [&](const TStatement &s) {
    return s.Predicate == TAff4Predicate::kType && s.Object.Text == type;
  });
}

std::vector<std::string> TAff4Graph::SubjectsOfType(std::string_view type) const {
  std::vector<std::string> out;
  for (const std::string &s : FOrder)
    if (HasType(s, type))
      out.push_back(s);
  return out;
}
