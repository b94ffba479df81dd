# What the Debian package holds beside the server and its manual page, and how
# CPack makes it. Paths are below CPACK_PACKAGING_INSTALL_PREFIX (/usr), but
# for the units, which systemd looks for in /lib/systemd/system.
set(doc share/doc/stdhttpd)
set(packaging ${PROJECT_SOURCE_DIR}/packaging/debian)

# Debian wants the manual page and the changelog compressed, without a time stamp.
foreach(name man/stdhttpd.8 packaging/debian/changelog)
  get_filename_component(base ${name} NAME)
  add_custom_command(OUTPUT ${base}.gz
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/${name} > ${base}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/${name})
  list(APPEND compressed ${PROJECT_BINARY_DIR}/${base}.gz)
endforeach()
add_custom_target(package_files ALL DEPENDS ${compressed})

install(FILES ${PROJECT_BINARY_DIR}/stdhttpd.8.gz DESTINATION share/man/man8)
install(FILES ${PROJECT_BINARY_DIR}/changelog.gz ${packaging}/copyright DESTINATION ${doc})
install(FILES ${packaging}/lintian-overrides DESTINATION share/lintian/overrides RENAME stdhttpd)
install(FILES deploy/systemd/stdhttpd.socket deploy/systemd/stdhttpd@.service
        DESTINATION /lib/systemd/system)
install(DIRECTORY deploy/ DESTINATION ${doc}/examples)
install(DIRECTORY example/ DESTINATION ${doc}/examples/site PATTERN .gitattributes EXCLUDE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME stdhttpd)
set(CPACK_PACKAGE_CONTACT "stdhttpd developers <stdhttpd@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tiny HTTP/1.1 file server on standard input and output")
set(CPACK_PACKAGE_DESCRIPTION "stdhttpd serves the wwwroot folder of its working directory to one client
connection, joined to its standard streams by a socket activator such as
systemd (units included), xinetd or tcpserver. Files whose path contains
the word secret need HTTP Basic credentials.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION httpd)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${packaging}/postinst ${packaging}/prerm ${packaging}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
