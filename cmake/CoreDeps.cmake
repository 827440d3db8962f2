# Outside libraries of the core folders. Each section belongs to the folder it names.

# platform: the wave API's PulseAudio backend.
find_package(PkgConfig REQUIRED)
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
target_link_libraries(strataeq_platform PUBLIC PkgConfig::PULSE)

# drivers: the ring buffer holds a live route's delay by resampling a little.
pkg_check_modules(SPEEXDSP REQUIRED IMPORTED_TARGET speexdsp)
target_link_libraries(strataeq_drivers PRIVATE PkgConfig::SPEEXDSP)
