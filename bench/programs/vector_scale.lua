-- Table of 10 million floats multiplied by a scalar, ten times.
local n = 10000000
local v = {}
for i = 1, n do v[i] = 0.0 end
v[1] = 1.5
v[n] = 2.5
for _ = 1, 10 do
  for i = 1, n do v[i] = v[i] * 1.5 end
end
print(v[1] .. " " .. v[n])
