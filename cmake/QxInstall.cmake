# `cmake --install` lays out one program directory: the deliverables and
# tools side by side (each finds its siblings and Config.ini beside itself),
# Config.ini with every key the parts read, and the language files.  The
# skin and logo.jpg are installed by manager/skin.
set(QX_INSTALLED_BINARIES
    QXTokenKernel QXSoftAlg QXDevice QXUI QXUIExtend QXP11 QXCSP QXUKMgrSvr ccidsetup qxtoken qxvtoken)
foreach(target ${QX_INSTALLED_BINARIES})
  if(TARGET ${target})
    # A tree built only in part installs what it has.
    install(PROGRAMS $<TARGET_FILE:${target}> DESTINATION . OPTIONAL)
  endif()
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/manager/install/Config.ini DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/languages/language_chs.ini ${CMAKE_SOURCE_DIR}/languages/language_cht.ini
              ${CMAKE_SOURCE_DIR}/languages/language_enu.ini
        DESTINATION Languages)
