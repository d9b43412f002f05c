#include "ReroraDataTransport/RDTCORLibrary/RDTKCTCompressionHelper.h"

#include "foundation/ZULGzip.h"

// The SDK's gzip writer already runs the stream the collection service expects (default
// level, gzip wrapper, memory level 8, 1024-byte output steps into a buffer first sized to a
// quarter of the input).
std::optional<platform::Data> RDTKCTCompressionHelper::gzippedData(const platform::Data& data) {
  return zul_dataByGzippingData(data);
}

bool RDTKCTCompressionHelper::isGzipped(const platform::Data& data) {
  return data.size() > 1 && data.bytes()[0] == 0x1F && data.bytes()[1] == 0x8B;
}
