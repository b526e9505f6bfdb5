# crash tests
