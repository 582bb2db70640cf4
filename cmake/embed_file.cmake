# Writes the bytes of INPUT as a C array NAME (and NAME_size) to OUTPUT:
#   cmake -DINPUT=file -DOUTPUT=file.c -DNAME=symbol -P embed_file.cmake
# The host build embeds the property page's compiled resources this way.
file(READ "${INPUT}" _hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n  " _bytes "${_bytes}")
get_filename_component(_name "${INPUT}" NAME)
file(WRITE "${OUTPUT}"
  "/* ${_name}, embedded by cmake/embed_file.cmake. */\n"
  "#include <stddef.h>\n"
  "const unsigned char ${NAME}[] = {\n  ${_bytes}\n};\n"
  "const size_t ${NAME}_size = sizeof(${NAME});\n")
