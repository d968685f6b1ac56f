# Run at install time (pcsc/CMakeLists.txt's install(CODE)): writes the reader.conf.d file
# with LIBPATH naming where this installation puts the handler, and installs it. Both depend
# on the prefix of the install itself (cmake --install --prefix, CPack's /usr), not on the
# one the build was configured with; DESTDIR only stages the files and is in neither.
#
# In: TOLVEX_READER_CONF_TEMPLATE (pcsc/reader.conf.in), TOLVEX_IFD_DIR (the handler's folder,
# under the prefix unless absolute), TOLVEX_READER_CONF_STAGE (a folder of the build).

# The configuration folder, as GNUInstallDirs has it: /etc for /usr (and /), /etc/opt/X for
# /opt/X, PREFIX/etc for any other prefix. pcscd reads /etc/reader.conf.d only.
set(prefix "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/+$" "" prefix "${prefix}")
if(prefix STREQUAL "" OR prefix STREQUAL "/usr")
  set(etc "/etc")
elseif(prefix MATCHES "^/opt/")
  set(etc "/etc${prefix}")
else()
  set(etc "${prefix}/etc")
endif()

if(IS_ABSOLUTE "${TOLVEX_IFD_DIR}")
  set(TOLVEX_IFD_LIBPATH "${TOLVEX_IFD_DIR}/libtolvex_ifd.so")
else()
  set(TOLVEX_IFD_LIBPATH "${prefix}/${TOLVEX_IFD_DIR}/libtolvex_ifd.so")
endif()

configure_file("${TOLVEX_READER_CONF_TEMPLATE}" "${TOLVEX_READER_CONF_STAGE}/tolvex" @ONLY)
# file(INSTALL) puts DESTDIR in front, says what it does, and records the file in the
# install manifest (the list a cmake install is removed with).
file(INSTALL "${TOLVEX_READER_CONF_STAGE}/tolvex" DESTINATION "${etc}/reader.conf.d"
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
