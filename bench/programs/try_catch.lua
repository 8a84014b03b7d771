-- Errors caught in a loop: 600000 divisions, a third of them by zero.
local total, failures = 0, 0
for i = 0, 599999 do
  local d = i % 3
  local ok, r = pcall(function() return 1000 % (d * 7 + i % 11 * d) end)
  if ok then
    total = total + r
  else
    failures = failures + 1
  end
end
print(total .. " " .. failures)
