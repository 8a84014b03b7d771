-- Table with 1 million string keys: store, then look up each.
local m = {}
for i = 1, 1000000 do
  m[tostring(i)] = i % 1000
end
local s = 0
for i = 1, 1000000 do
  s = s + m[tostring(i)]
end
print(s)
