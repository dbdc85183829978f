# The Debian package: cpack -G DEB in the build folder.
set(CPACK_PACKAGE_NAME vinzal)
set(CPACK_PACKAGE_VENDOR "Gli autori di Vinzal")
set(CPACK_PACKAGE_CONTACT "Gli autori di Vinzal <vinzal@vinzal.it>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "rubrica di indirizzi e telefoni in italiano")
set(CPACK_PACKAGE_DESCRIPTION
    "Vinzal tiene gli indirizzi e i telefoni di persone, famiglia e amici, lavoro
e ditte in un solo file. La scheda mostra un contatto alla volta, con una
barra per scorrere la rubrica, undici ricerche e i comandi per aggiungere,
modificare e salvare; la vista a tabella mostra tutta la rubrica in una
griglia modificabile. Il comando vinzal-db crea, controlla, converte le
rubriche di Access e importa ed esporta contatti in CSV e vCard.")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://vinzal.it/")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# The libraries the programs link to (Qt, sqlite3, libpq) are found by dpkg-shlibdeps, libqt6gui6
# among them, which also holds the xcb platform plugin; what else Qt loads at run time is not: Qt's
# Italian texts ("Sì", "Annulla") and the serif face that stands in for Times New Roman.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-translations-l10n, fonts-liberation2")
# In a Wayland session Qt uses XWayland unless its Wayland plugin is there.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
include(CPack)
