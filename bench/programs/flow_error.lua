-- Control flow: 1 million errors raised in a call and caught.
local function check(n)
  if n % 2 == 0 then error("even value") end
  return n
end

local total, failures = 0, 0
for i = 0, 999999 do
  local ok, r = pcall(check, i % 100)
  if ok then total = total + r else failures = failures + 1 end
end
print(total .. " " .. failures)
