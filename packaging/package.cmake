# A .deb of everything installed (scripts/package.sh); library dependencies come from
# dpkg-shlibdeps. Included from the top-level CMakeLists.txt after every install rule.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME keyvane)
set(CPACK_PACKAGE_VENDOR "Keyvane")
set(CPACK_PACKAGE_CONTACT "Keyvane maintainers <maintainers@keyvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "hand a mail key, system files, chat lines and files to one other computer")
# Lines of at most 80 columns, as Debian's tools show them.
set(CPACK_PACKAGE_DESCRIPTION
    "Keyvane connects two computers directly over one TCP connection (one side
waits, the other connects; no server) and lets the two users hand each other a
numeric mail key, a product version's system control files, chat lines and any
file, enciphered by the program's own rotor cipher. Between two Keyvane
programs the connection also runs in a channel encrypted with libsodium.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# What Debian asks of a package but a plain `cmake --install` need not do: man pages
# compressed with gzip -9n, and the copyright file and changelog in the package's doc
# folder. CPack alone sets KEYVANE_DEB_LAYOUT while it installs.
set(CPACK_CUSTOM_INSTALL_VARIABLES "KEYVANE_DEB_LAYOUT=ON")
install(CODE "
  if(KEYVANE_DEB_LAYOUT)
    set(root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    file(GLOB pages \"\${root}/${CMAKE_INSTALL_MANDIR}/man1/*.1\")
    foreach(page IN LISTS pages)
      execute_process(COMMAND gzip -9nf \"\${page}\" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
    # file(INSTALL) adds DESTDIR itself.
    file(INSTALL \"${CMAKE_CURRENT_LIST_DIR}/copyright\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/doc/keyvane\")
    set(log \"\${root}/${CMAKE_INSTALL_DATADIR}/doc/keyvane/changelog.gz\")
    execute_process(COMMAND gzip -9n -c \"${CMAKE_CURRENT_LIST_DIR}/changelog\"
                    OUTPUT_FILE \"\${log}\" COMMAND_ERROR_IS_FATAL ANY)
    file(CHMOD \"\${log}\" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
")
include(CPack)
