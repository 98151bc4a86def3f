# Fixture "sender": tools/sender/sender.py on 127.0.0.1:8080, control port 8091. Setup returns once it listens,
# waiting while another build tree's run holds the ports. Its output: build/<tree>/sender/.
include_guard(GLOBAL)

if(WIN32)
    find_program(VELMORA_PYTHON NAMES python3 REQUIRED)
    # Cached, so that every directory sees them, not only the first one to include this.
    set(VELMORA_SENDER_SCRIPT ${CMAKE_SOURCE_DIR}/tools/sender/sender.py CACHE INTERNAL "")
    set(VELMORA_SENDER_DIR ${CMAKE_BINARY_DIR}/sender CACHE INTERNAL "")
    file(MAKE_DIRECTORY ${VELMORA_SENDER_DIR})
    add_test(NAME sender_start
             COMMAND ${VELMORA_PYTHON} ${VELMORA_SENDER_SCRIPT} --daemon
                     --pid-file ${VELMORA_SENDER_DIR}/sender.pid
                     --log-file ${VELMORA_SENDER_DIR}/sender.log
                     --cache ${VELMORA_SENDER_DIR}/cache --wait-port 600)
    add_test(NAME sender_stop
             COMMAND ${VELMORA_PYTHON} ${VELMORA_SENDER_SCRIPT} --stop
                     --pid-file ${VELMORA_SENDER_DIR}/sender.pid)
    set_tests_properties(sender_start PROPERTIES FIXTURES_SETUP sender TIMEOUT 700)
    set_tests_properties(sender_stop PROPERTIES FIXTURES_CLEANUP sender TIMEOUT 60)
endif()
