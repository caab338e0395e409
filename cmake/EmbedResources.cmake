# Writes OUTPUT: a C++ source that places the text of INPUT, NUL-padded to CAPACITY bytes, in the
# allocated read-only ELF section ".halv_resources" as halv_resource_table.
file(READ "${INPUT}" _hex HEX)
string(LENGTH "${_hex}" _len)
math(EXPR _bytes "${_len} / 2")
if(_bytes GREATER_EQUAL CAPACITY)
  message(FATAL_ERROR "${INPUT} is ${_bytes} bytes; the resource section holds ${CAPACITY}")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _list "${_hex}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n"
  "extern \"C\" __attribute__((section(\".halv_resources\"), used, aligned(16)))\n"
  "const char halv_resource_table[${CAPACITY}] = {${_list}};\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
