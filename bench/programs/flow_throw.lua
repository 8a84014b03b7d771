-- Control flow: 1 million values thrown out of a call and caught.
local function search(n)
  error({value = n * 2})
end

local total = 0
for i = 0, 999999 do
  local ok, found = pcall(search, i % 100)
  if not ok then total = total + found.value end
end
print(total)
