# Network benchmark: korvo next to libcurl, cpp-httplib, Boost.Beast and a raw-socket
# floor against a local nginx. Run it through scripts/bench.sh, which provides the server.
find_package(CURL REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(ZLIB REQUIRED)
pkg_check_modules(CPP_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)

file(GLOB net_bench_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/net_*.cc)
add_executable(net_bench ${net_bench_sources})
target_compile_options(net_bench PRIVATE -Wall -Wextra)
target_link_libraries(net_bench PRIVATE korvo::korvo CURL::libcurl PkgConfig::CPP_HTTPLIB
                      OpenSSL::SSL OpenSSL::Crypto ZLIB::ZLIB Threads::Threads)
