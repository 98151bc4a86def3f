# usage: cmake -P sha256sums.cmake OUTPUT FILE... ; writes OUTPUT in sha256sum's format
# (the hash in lower case, two blanks, the file's name without its folder), a line a file.
set(lines "")
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(index RANGE 4 ${last})
    file(SHA256 "${CMAKE_ARGV${index}}" hash)
    get_filename_component(name "${CMAKE_ARGV${index}}" NAME)
    string(APPEND lines "${hash}  ${name}\n")
endforeach()
file(WRITE "${CMAKE_ARGV3}" "${lines}")
