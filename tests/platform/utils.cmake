# utils tests
