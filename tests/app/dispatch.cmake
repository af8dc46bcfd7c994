# The dispatch thread alone, and the whole station from configuration file to
# statistics file, driven through the card library's test double.
orvane_test(app_dispatch_test
    SOURCES DispatchThreadTest.cpp EndToEndTest.cpp
    LIBS orvane_app orvane_fakevexlink)
