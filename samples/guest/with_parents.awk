# Adds an empty section for every missing ancestor of each [key] (hivexregedit needs parents first).
# Several files may be joined: their header line is kept once.
/^Windows Registry Editor/ { if (header++) next }
/^\[/ {
  key = substr($0, 2, length($0) - 2)
  n = split(key, parts, "\\")
  path = parts[1] "\\" parts[2]
  for (i = 3; i < n; i++) {
    path = path "\\" parts[i]
    if (!(path in seen)) { seen[path] = 1; print "[" path "]"; print "" }
  }
  seen[key] = 1
}
{ print }
