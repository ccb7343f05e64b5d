#pragma once
// What our PipeWire camera clients ask for once a format is fixed: a few
// buffers, each with a header carrying the producer's stamp and sequence.
#include <pipewire/pipewire.h>
#include <spa/param/param.h>
#include <spa/pod/builder.h>

namespace tovrelle::tools {

inline void requestBuffersWithHeaders(pw_stream* stream) {
  uint8_t storage[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_pod* params[2];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamBuffers,
                                                                     SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
                                                                     SPA_POD_CHOICE_RANGE_Int(8, 2, 16)));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
      SPA_PARAM_META_size, SPA_POD_Int(static_cast<int32_t>(sizeof(spa_meta_header)))));
  pw_stream_update_params(stream, params, 2);
}

}  // namespace tovrelle::tools
