# Driver sources, shared by both builds (paths relative to the top folder).
set(ZENDRA_DRIVER_SOURCES
  ${CMAKE_SOURCE_DIR}/zendra/device.cpp
  ${CMAKE_SOURCE_DIR}/zendra/driver.cpp
  ${CMAKE_SOURCE_DIR}/zendra/gate.cpp
  ${CMAKE_SOURCE_DIR}/zendra/guids.cpp
  ${CMAKE_SOURCE_DIR}/zendra/pnp.cpp
  ${CMAKE_SOURCE_DIR}/zendra/queue.cpp
  ${CMAKE_SOURCE_DIR}/zendra/usb.cpp
)
