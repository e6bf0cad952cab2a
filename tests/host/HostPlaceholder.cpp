namespace host { int placeholder; }
