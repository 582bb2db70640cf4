# Driver sources, shared by both builds (paths relative to the top folder).
set(ZENDRA_DRIVER_SOURCES
  ${CMAKE_SOURCE_DIR}/zendra/device.cpp
  ${CMAKE_SOURCE_DIR}/zendra/driver.cpp
  ${CMAKE_SOURCE_DIR}/zendra/gate.cpp
  ${CMAKE_SOURCE_DIR}/zendra/guids.cpp
  ${CMAKE_SOURCE_DIR}/zendra/ioctl.cpp
  ${CMAKE_SOURCE_DIR}/zendra/openclose.cpp
  ${CMAKE_SOURCE_DIR}/zendra/pnp.cpp
  ${CMAKE_SOURCE_DIR}/zendra/portnumber.cpp
  ${CMAKE_SOURCE_DIR}/zendra/queue.cpp
  ${CMAKE_SOURCE_DIR}/zendra/read.cpp
  ${CMAKE_SOURCE_DIR}/zendra/reader.cpp
  ${CMAKE_SOURCE_DIR}/zendra/usb.cpp
  ${CMAKE_SOURCE_DIR}/zendra/waitmask.cpp
  ${CMAKE_SOURCE_DIR}/zendra/write.cpp
)
