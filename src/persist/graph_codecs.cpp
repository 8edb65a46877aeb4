// MessagePack codecs of the entity graph, the relation graph and the entity
// embeddings: the payload is the bare MessagePack encoding of the dict.
#include "module/core.hpp"
#include "persist/msgpack.hpp"

namespace lvx::persist {
namespace {

PyObject* encode_dict(Args args) { return msgpack::encode_host(args[0].obj).release(); }

PyObject* decode_dict(Args args) {
    Ref value = msgpack::decode_to_host(args[0].bytes);
    if (!value || !PyDict_Check(value.get())) return none().release();
    return value.release();
}

constexpr Param kGraph[] = {required("graph", Kind::Dict)};
constexpr Param kEmbeddings[] = {required("embeddings", Kind::Dict)};
constexpr Param kData[] = {required("data", Kind::Bytes)};

const FunctionSpec fn_encode_entity_graph{
    "encode_entity_graph",
    "encode_entity_graph(graph)\n--\n\nEncode entity graph dict to msgpack bytes.",
    kGraph,
    &encode_dict,
};
LVX_REGISTER_FUNCTION(fn_encode_entity_graph);

const FunctionSpec fn_decode_entity_graph{
    "decode_entity_graph",
    "decode_entity_graph(data)\n--\n\nDecode msgpack bytes to entity graph dict.\n"
    "Returns None on malformed input so Python can fall back to JSON.",
    kData,
    &decode_dict,
};
LVX_REGISTER_FUNCTION(fn_decode_entity_graph);

const FunctionSpec fn_encode_relation_graph{
    "encode_relation_graph",
    "encode_relation_graph(graph)\n--\n\nEncode relation graph dict to msgpack bytes.",
    kGraph,
    &encode_dict,
};
LVX_REGISTER_FUNCTION(fn_encode_relation_graph);

const FunctionSpec fn_decode_relation_graph{
    "decode_relation_graph",
    "decode_relation_graph(data)\n--\n\nDecode msgpack bytes to relation graph dict.\n"
    "Returns None on malformed input so Python can fall back to JSON.",
    kData,
    &decode_dict,
};
LVX_REGISTER_FUNCTION(fn_decode_relation_graph);

const FunctionSpec fn_encode_entity_embeddings{
    "encode_entity_embeddings",
    "encode_entity_embeddings(embeddings)\n--\n\nEncode entity embeddings dict (str \xe2\x86\x92 list[float]) to msgpack bytes.",
    kEmbeddings,
    &encode_dict,
};
LVX_REGISTER_FUNCTION(fn_encode_entity_embeddings);

const FunctionSpec fn_decode_entity_embeddings{
    "decode_entity_embeddings",
    "decode_entity_embeddings(data)\n--\n\nDecode msgpack bytes to entity embeddings dict.\n"
    "Returns None on malformed input.",
    kData,
    &decode_dict,
};
LVX_REGISTER_FUNCTION(fn_decode_entity_embeddings);

}  // namespace
}  // namespace lvx::persist
