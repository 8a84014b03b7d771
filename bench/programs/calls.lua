-- 1 million function calls with an optional argument.
local function f(x, double)
  if double then return x + x end
  return x
end

local total = 0
for i = 1, 1000000 do
  total = total + f(i % 100, true)
end
print(total)
